#include "pipes/pipe_server_thread.h"

#include <cassert>

#include "pipes/pipe_link.h"
#include "pipes/pipe_server.h"

namespace velotarn {

TPipeServerThread* TPipeServerThread::Launch(TPipeServer* PipeServer,
                                            std::shared_ptr<TPipeLink> Link, unique_handle& Pipe,
                                            HANDLE KillEvent, HANDLE EndEvent, HANDLE DataEvent,
                                            uint64_t EntryId) {
  assert(IsMainThread());
  TPipeIOHandles handles = TPipeIOHandles::Make(Pipe, KillEvent, EndEvent, DataEvent);
  auto* thread = TThread::New<TPipeServerThread>(PipeServer, Link, std::move(handles), EntryId);
  thread->SetFreeOnTerminate(true);
  thread->OnTerminate = [PipeServer, Link](TThread* sender) {
    if (Link->Attached()) PipeServer->WorkerTerminated(static_cast<TPipeServerThread*>(sender));
  };
  return thread;
}

TPipeServerThread::TPipeServerThread(TPipeServer* PipeServer, std::shared_ptr<TPipeLink> Link,
                                     TPipeIOHandles Handles, uint64_t EntryId)
    : TPipeIOThread(std::move(Link), std::move(Handles), ERROR_BROKEN_PIPE),
      FPipeServer(PipeServer),
      FEntryId(EntryId) {}

PPipeWrite TPipeServerThread::DequeueOnOwner() {
  if (!Link().Attached()) throw EPipeException(L"The pipe server is gone");
  return FPipeServer->DequeueWrite(FEntryId);
}

}  // namespace velotarn
