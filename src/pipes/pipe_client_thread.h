#pragma once
// TPipeClientThread: the I/O thread of a TPipeClient's connection (the loop of TPipeIOThread).
// It announces nothing when it starts, takes its records from the component's one queue, and
// does not report ERROR_PIPE_NOT_CONNECTED, which is the server ending the connection.
//
// Threading: made on the main thread by TPipeClient::Connect; runs on its own thread; frees
// itself. Its termination handler and dequeue calls run on the main thread and reach the
// component only while the component's link is attached.

#include <memory>

#include "pipes/pipe_io_thread.h"

namespace velotarn {

class TPipeClient;

class TPipeClientThread final : public TPipeIOThread {
 public:
  // Starts the thread of a new connection, taking Pipe over; raises EOSError when it cannot be
  // started (Pipe is then closed, or still the caller's).
  static TPipeClientThread* Launch(TPipeClient* PipeClient, std::shared_ptr<TPipeLink> Link,
                                  unique_handle& Pipe, HANDLE KillEvent, HANDLE DataEvent);

  // For TThread::New only.
  TPipeClientThread(TPipeClient* PipeClient, std::shared_ptr<TPipeLink> Link,
                    TPipeIOHandles Handles);

 protected:
  PPipeWrite DequeueOnOwner() override;

 private:
  TPipeClient* const FPipeClient;  // touched on the main thread, and only while attached
};

}  // namespace velotarn
