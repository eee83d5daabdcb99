#pragma once
// TPipeServerThread: serves one client of a TPipeServer (the loop of TPipeIOThread). It
// fetches its records from the server's registry
// entry (keyed by the entry's own id, never by the reusable handle value), and does not report
// ERROR_BROKEN_PIPE, which is the client closing its end.
//
// Threading: made on the main thread by TPipeServer::RegisterClient; runs on its own thread;
// frees itself. Its termination handler and dequeue calls run on the main thread and reach the
// server only while the server's link is attached.

#include <cstdint>
#include <memory>

#include "pipes/pipe_io_thread.h"

namespace velotarn {

class TPipeServer;

class TPipeServerThread final : public TPipeIOThread {
 public:
  // Makes the thread for a registered entry, suspended, taking Pipe over; raises EOSError when
  // it cannot be made (Pipe is then closed, or still the caller's). The listener starts it once
  // it has announced the connection, so that nothing of the connection comes before that.
  static TPipeServerThread* Launch(TPipeServer* PipeServer, std::shared_ptr<TPipeLink> Link,
                                  unique_handle& Pipe, HANDLE KillEvent, HANDLE EndEvent,
                                  HANDLE DataEvent, uint64_t EntryId);

  uint64_t EntryId() const noexcept { return FEntryId; }

  // For TThread::New only.
  TPipeServerThread(TPipeServer* PipeServer, std::shared_ptr<TPipeLink> Link,
                    TPipeIOHandles Handles, uint64_t EntryId);

 protected:
  PPipeWrite DequeueOnOwner() override;

 private:
  TPipeServer* const FPipeServer;  // touched on the main thread, and only while attached
  const uint64_t FEntryId;
};

}  // namespace velotarn
