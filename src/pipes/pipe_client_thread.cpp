#include "pipes/pipe_client_thread.h"

#include <cassert>

#include "pipes/pipe_client.h"
#include "pipes/pipe_link.h"

namespace velotarn {

TPipeClientThread* TPipeClientThread::Launch(TPipeClient* PipeClient,
                                            std::shared_ptr<TPipeLink> Link, unique_handle& Pipe,
                                            HANDLE KillEvent, HANDLE DataEvent) {
  assert(IsMainThread());
  // A client connection is never ended by its component for a peer that stopped reading: its
  // end event is never set.
  unique_handle never_set = NewEvent(/*ManualReset=*/true);
  TPipeIOHandles handles = TPipeIOHandles::Make(Pipe, KillEvent, never_set.get(), DataEvent);
  auto* thread = TThread::New<TPipeClientThread>(PipeClient, Link, std::move(handles));
  thread->SetFreeOnTerminate(true);
  thread->OnTerminate = [PipeClient, Link](TThread* sender) {
    if (Link->Attached()) PipeClient->WorkerTerminated(static_cast<TPipeClientThread*>(sender));
  };
  thread->Start();
  return thread;
}

TPipeClientThread::TPipeClientThread(TPipeClient* PipeClient, std::shared_ptr<TPipeLink> Link,
                                     TPipeIOHandles Handles)
    : TPipeIOThread(std::move(Link), std::move(Handles), ERROR_PIPE_NOT_CONNECTED),
      FPipeClient(PipeClient) {}

PPipeWrite TPipeClientThread::DequeueOnOwner() {
  if (!Link().Attached()) throw EPipeException(L"The pipe client is gone");
  return FPipeClient->DequeueWrite(this);
}

}  // namespace velotarn
