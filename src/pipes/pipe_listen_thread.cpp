#include "pipes/pipe_listen_thread.h"

#include <algorithm>
#include <cassert>

#include "pipes/pipe_link.h"

namespace velotarn {

TNewThread<TPipeListenThread> TPipeListenThread::Make(
    const std::shared_ptr<TPipeLink>& Link, const std::wstring& PipeName,
    const std::optional<std::vector<std::wstring>>& ClientSids, HANDLE KillEvent) {
  assert(IsMainThread());
  THandles handles;
  handles.Kill = DuplicateOwnHandle(KillEvent);
  handles.Connect = NewEvent(/*ManualReset=*/true);
  handles.Resume = NewEvent(/*ManualReset=*/false);
  handles.Security = std::make_unique<TOpenSecurity>(ClientSids);
  return NewPipeThread<TPipeListenThread>(Link, PipeName, std::move(handles));
}

TPipeListenThread::TPipeListenThread(std::shared_ptr<TPipeLink> Link, std::wstring PipeName,
                                     THandles Handles)
    : TPipeThread(std::move(Link)),
      FPipeName(L"\\\\.\\pipe\\" + PipeName),
      FKillEv(std::move(Handles.Kill)),
      FConnectEv(std::move(Handles.Connect)),
      FResumeEv(std::move(Handles.Resume)),
      FSA(std::move(Handles.Security)) {
  FOlapConnect.hEvent = FConnectEv.get();
}

// An instance is still held here only when its hand-off raised: it was never handed over.
TPipeListenThread::~TPipeListenThread() {
  if (FPipe && FConnected) DisconnectNamedPipe(FPipe.get());
}

void TPipeListenThread::Execute() {
  while (!Terminated()) {
    FConnected = false;
    if (!FPipe) CreateServerPipe();
    if (FPipe) ConnectClient();
    if (Terminated()) break;  // killed while waiting for a client: nothing to report
    if (FConnected) {
      FRetryPause = 0;
      HandOffClient();
      continue;
    }
    ReportFailure();
    RetryPause();
  }
}

// The connect failed (or no instance could be made): reported, and the failed instance is
// replaced before it is closed.
void TPipeListenThread::ReportFailure() {
  const DWORD error = FErrorCode;
  unique_handle failed = std::move(FPipe);
  if (failed) CreateServerPipe();  // another instance of ours exists: no first-instance flag
  Link().Post(WM_PIPE_ERROR_LISTENER,
              failed ? reinterpret_cast<WPARAM>(failed.get())
                     : reinterpret_cast<WPARAM>(INVALID_HANDLE_VALUE),
              static_cast<LPARAM>(error), FKillEv.get());
}

void TPipeListenThread::HandOffClient() {
  TPipeHandOff handed;
  GuardedSynchronize(this, [this, &handed] {
    // The server registers the client and takes the instance over.
    TPipeOwner* owner = Link().Owner();
    if (owner == nullptr) throw EPipeException(L"The pipe server is gone");
    handed = owner->HandOff(std::move(FPipe));
  });
  if (!handed.Worker) return;
  Link().Post(WM_PIPE_CONNECT, handed.Pipe, 0, FKillEv.get());
  // Started whatever the post did: a connection's thread must run to its end, also while
  // stopping.
  handed.Worker.Start();
  if (handed.Pause && !Terminated()) WaitUntilResumed();
}

void TPipeListenThread::CreateServerPipe() {
  DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
  if (FFirstInstance) open_mode |= FILE_FLAG_FIRST_PIPE_INSTANCE;  // never share a taken name
  FPipe.reset(CreateNamedPipeW(
      FPipeName.c_str(), open_mode,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, 0, 0, kDefaultTimeoutMs, FSA->get()));
  if (!FPipe) {
    FErrorCode = GetLastError();
    return;
  }
  FErrorCode = 0;
  FFirstInstance = false;
}

void TPipeListenThread::ConnectClient() {
  if (ConnectNamedPipe(FPipe.get(), &FOlapConnect)) {
    FConnected = true;
    return;
  }
  FErrorCode = GetLastError();
  if (FErrorCode == ERROR_PIPE_CONNECTED) {
    FConnected = true;  // the client came between creation and the connect call
  } else if (FErrorCode == ERROR_NO_DATA) {
    // The client came and already left: what it wrote before leaving is still in the instance
    // and is handed over with it; its connection then ends as any client's that closes.
    FConnected = true;
  } else if (FErrorCode == ERROR_IO_PENDING) {
    HANDLE events[2] = {FKillEv.get(), FConnectEv.get()};
    switch (WaitForMultipleObjects(2, events, FALSE, INFINITE)) {
      case WAIT_OBJECT_0:
        Terminate();  // the kill event wins when both are set
        break;
      case WAIT_OBJECT_0 + 1:
        FConnected = true;
        break;
      case WAIT_FAILED:
        FErrorCode = GetLastError();
        break;
      default:
        break;
    }
    if (!FConnected) {
      // The pending connect refers to FOlapConnect: end it before the instance goes.
      CancelIo(FPipe.get());
      DWORD ignored = 0;
      GetOverlappedResult(FPipe.get(), &FOlapConnect, &ignored, TRUE);
    }
  }
}

void TPipeListenThread::WaitUntilResumed() {
  HANDLE events[2] = {FKillEv.get(), FResumeEv.get()};
  if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) Terminate();
}

void TPipeListenThread::RetryPause() {
  FRetryPause = FRetryPause == 0 ? kFirstRetryPauseMs : std::min(FRetryPause * 2, kMaxRetryPauseMs);
  if (WaitForSingleObject(FKillEv.get(), FRetryPause) != WAIT_TIMEOUT) Terminate();
}

}  // namespace velotarn
