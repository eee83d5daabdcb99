#include "pipes/pipe_client.h"

#include <cassert>

#include "pipes/pipe_io_thread.h"
#include "pipes/write_queue.h"
#include "runtime/scope_exit.h"
#include "runtime/synchronize.h"

namespace velotarn {

namespace {

const HPIPE kNoPipe = reinterpret_cast<HPIPE>(INVALID_HANDLE_VALUE);

// Equal when the lengths match and every character does, ASCII letters without regard to case.
bool SameComputerName(const std::wstring& Left, const std::wstring& Right) {
  if (Left.size() != Right.size()) return false;
  auto fold = [](wchar_t c) { return (c >= L'a' && c <= L'z') ? wchar_t(c - L'a' + L'A') : c; };
  for (size_t i = 0; i < Left.size(); ++i)
    if (fold(Left[i]) != fold(Right[i])) return false;
  return true;
}

}  // namespace

TPipeClient::TPipeClient(TComponent* AOwner) : TComponent(AOwner) {
  assert(IsMainThread());
  FWriteQueue = std::make_unique<TWriteQueue>();
  FHwnd = CreateNotifyWindow(this);
  FLink = std::make_shared<TPipeLink>(FHwnd.get(), static_cast<TPipeOwner*>(this));
}

TPipeClient::~TPipeClient() {
  assert(IsMainThread());
  FDestroying = true;
  Disconnect(false);
  // A thread still ending keeps its own handles; its dequeue call and termination handler find
  // the link detached and leave this object alone.
  FLink->Detach();
  DestroyNotifyWindow(FHwnd);
}

void TPipeClient::SetOnPipeSent(TOnPipeSent Value) {
  assert(IsMainThread());
  FOPS = std::move(Value);
  FLink->SetReportSends(static_cast<bool>(FOPS));
}

void TPipeClient::SetPipeName(const std::wstring& Value) {
  assert(IsMainThread());
  if (FConnected) throw EPipeException(L"Cannot change property when client is connected!");
  ValidatePipeName(Value);
  FPipeName = Value;
}

void TPipeClient::SetServerName(const std::wstring& Value) {
  assert(IsMainThread());
  if (FConnected) throw EPipeException(L"Cannot change property when client is connected!");
  FServerName = Value;
}

bool TPipeClient::BuildPipePath(std::wstring& Path) const {
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  std::wstring server = FServerName.empty() ? L"." : FServerName;
  if (GetComputerNameW(computer, &size) && SameComputerName(computer, FServerName)) server = L".";
  Path = L"\\\\" + server + L"\\pipe\\" + FPipeName;
  return Path.size() + 1 <= kMaxPipePath;
}

bool TPipeClient::Connect(DWORD WaitMs) {
  assert(IsMainThread());
  if (FConnected) return true;
  // The object may free itself during the wait, which runs its termination handler.
  if (FWorker != nullptr) FWorker->WaitFor();
  std::wstring path;
  if (!BuildPipePath(path)) return false;
  if (!WaitNamedPipeW(path.c_str(), WaitMs)) return false;
  // Not inheritable: a child process must never hold our end of the connection. The server
  // may identify us but never act as us: whoever took the pipe's name cannot use our account.
  unique_handle pipe(CreateFileW(
      path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
      nullptr));
  if (!pipe) return false;
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);  // a failure goes unnoticed
  const HPIPE value = reinterpret_cast<HPIPE>(pipe.get());
  try {
    // Each connection has its own kill event, so a thread still ending from an earlier
    // connection can never be revived by this one. Its end event is never set: a client
    // connection is not ended for a peer that stopped reading.
    unique_handle kill = NewEvent(/*ManualReset=*/true);
    unique_handle never_set = NewEvent(/*ManualReset=*/true);
    TPipeIOHandles handles = TPipeIOHandles::Make(std::move(pipe), kill.get(), never_set.get(),
                                                  FWriteQueue->DataEvent());
    FWorker = NewPipeThread<TPipeIOThread>(FLink, std::move(handles), ERROR_PIPE_NOT_CONNECTED,
                                           /*Id=*/0)
                  .Start();
    FKillEv = std::move(kill);
  } catch (const Exception&) {
    return false;  // Connect reports nothing but its result
  }
  FPipe = value;
  FConnected = true;
  return true;
}

void TPipeClient::Disconnect(bool CanWait) {
  assert(IsMainThread());
  if (!FConnected) return;
  SetEvent(FKillEv.get());
  FConnected = false;  // Closing until the thread's end has been handled
  TPipeIOThread* worker = FWorker;
  if (worker == nullptr) return;
  worker->Terminate();
  // The object may free itself during the wait; WaitFor is safe for that, and it keeps running
  // synchronous calls, so the thread's dequeue call and WorkerTerminated run meanwhile.
  if (CanWait && !FDestroying) worker->WaitFor();
}

bool TPipeClient::Write(const void* Buffer, int32_t Count) {
  assert(IsMainThread());
  if (!FConnected || Count < 0 || (Buffer == nullptr && Count > 0)) return false;
  FWriteQueue->Enqueue(NewPipeWrite(Buffer, Count));
  return true;
}

void TPipeClient::DequeueWrites(const TPipeIOThread& Thread, TWriteBatch& Batch) {
  assert(IsMainThread());
  if (&Thread != FWorker || !FConnected) return;
  FWriteQueue->DequeueBatch(Batch, kMaxWriteBatchBytes);
}

TPipeHandOff TPipeClient::HandOff(unique_handle) {
  throw EPipeException(L"A pipe client has no listener");
}

void TPipeClient::ThreadTerminated(TPipeThread& Thread) {
  assert(IsMainThread());
  auto& worker = static_cast<TPipeIOThread&>(Thread);  // a client has no other
  const bool current = &worker == FWorker;  // a late end of an earlier connection changes nothing
  const HPIPE pipe = worker.Pipe();
  // What the connection took and did not write goes out first on the next one.
  FWriteQueue->PutBack(worker.TakeUnwritten());
  if (current) FWorker = nullptr;
  ScopeExit reset{[this, current] {
    if (!current) return;
    FPipe = kNoPipe;
    FConnected = false;
  }};
  if (!FDestroying) {
    if (TOnPipeDisconnect handler = FOPD) handler(this, pipe);
  }
}

LRESULT TPipeClient::HandleNotify(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
  return WndProc(Window, Msg, WParam, LParam);
}

LRESULT TPipeClient::WndProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
  assert(IsMainThread());
  const HPIPE pipe = static_cast<HPIPE>(WParam);
  switch (Msg) {
    case WM_QUERYENDSESSION:
      return 1;  // never object to the end of the session
    case WM_PIPE_ERROR_WORKER:
      if (TOnPipeError handler = FOPE)
        handler(this, pipe, pcWorker, static_cast<int32_t>(LParam));
      return 0;
    case WM_PIPE_DISCONNECT:
      if (TOnPipeDisconnect handler = FOPD) handler(this, pipe);
      return 0;
    case WM_PIPE_SENT:
      if (TOnPipeSent handler = FOPS) handler(this, pipe, static_cast<uint32_t>(LParam));
      return 0;
    case WM_PIPE_MESSAGE:
      DeliverMessageBlock(reinterpret_cast<HGLOBAL>(LParam), [&](TMemoryStream* stream) {
        if (TOnPipeMessage handler = FOPM) handler(this, pipe, stream);
      });
      return 0;
    default:
      return DefWindowProcW(Window, Msg, WParam, LParam);
  }
}

}  // namespace velotarn
