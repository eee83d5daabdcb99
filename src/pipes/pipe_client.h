#pragma once
// TPipeClient: the client end of a message-mode named pipe on this or another computer. At most
// one connection at a time, served by one TPipeClientThread; every Write is sent as one
// message, every message received, every completed write, the error that ends a connection and
// the end of the connection itself reach the owner as events on the owning thread.
//
// Threading: created, used and destroyed on the main thread only. The client thread reaches the
// component only by posting to its window and by synchronous main-thread calls (dequeue,
// termination). A thread still running when the component is destroyed is detached from it and
// never touches it again.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "pipes/notify_window.h"
#include "pipes/pipe_link.h"
#include "pipes/pipe_name.h"
#include "pipes/pipe_types.h"
#include "runtime/component.h"
#include "runtime/handles.h"

namespace velotarn {

class TPipeIOThread;

// Longest pipe path that Connect builds, terminator included.
constexpr size_t kMaxPipePath = 1024;

class TPipeClient : public TComponent, private TNotifyHandler, private TPipeOwner {
 public:
  explicit TPipeClient(TComponent* AOwner);
  ~TPipeClient() override;

  // "PipeServer" after construction; refused while connected, then validated.
  const std::wstring& PipeName() const noexcept { return FPipeName; }
  void SetPipeName(const std::wstring& Value);
  // Empty, "." or this computer's name address the local computer; refused while connected.
  const std::wstring& ServerName() const noexcept { return FServerName; }
  void SetServerName(const std::wstring& Value);

  bool Connected() const noexcept { return FConnected; }
  HWND WindowHandle() const noexcept { return FHwnd.get(); }

  // Opens the pipe, waiting up to wait_ms for a free instance (0: the server's default time-out,
  // NMPWAIT_WAIT_FOREVER: no limit). True when connected (also when already connected). The
  // thread of a connection that is still ending is waited for first (its end is raised then),
  // so that the records it gives back go out first on the new connection.
  bool Connect(DWORD WaitMs = NMPWAIT_USE_DEFAULT_WAIT);
  // Ends the connection. With CanWait the call returns once the thread has ended and
  // OnPipeDisconnect has been raised; without it, OnPipeDisconnect follows later.
  void Disconnect(bool CanWait = false);
  // Queues a private copy of Count bytes as one message (no size limit). False when not
  // connected or Count is negative. Records not yet written when a connection ends (those
  // still queued, and those its thread had taken but not written) are written first on the
  // next one, in their order.
  bool Write(const void* Buffer, int32_t Count);

  const TOnPipeDisconnect& OnPipeDisconnect() const noexcept { return FOPD; }
  void SetOnPipeDisconnect(TOnPipeDisconnect Value) { FOPD = std::move(Value); }
  const TOnPipeMessage& OnPipeMessage() const noexcept { return FOPM; }
  void SetOnPipeMessage(TOnPipeMessage Value) { FOPM = std::move(Value); }
  const TOnPipeSent& OnPipeSent() const noexcept { return FOPS; }
  void SetOnPipeSent(TOnPipeSent Value);
  const TOnPipeError& OnPipeError() const noexcept { return FOPE; }
  void SetOnPipeError(TOnPipeError Value) { FOPE = std::move(Value); }

 private:
  LRESULT HandleNotify(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) override;
  LRESULT WndProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);

  // The path \\<server>\pipe\<name>; false when it does not fit kMaxPipePath.
  bool BuildPipePath(std::wstring& Path) const;
  // For the connection's thread, on the main thread. Only the current connection's thread gets
  // records: one that is still ending leaves them for the next connection.
  void DequeueWrites(const TPipeIOThread& Thread, TWriteBatch& Batch) override;
  void ThreadTerminated(TPipeThread& Thread) override;
  TPipeHandOff HandOff(unique_handle Pipe) override;  // a client has no listener

  unique_hwnd FHwnd;
  HPIPE FPipe = reinterpret_cast<HPIPE>(INVALID_HANDLE_VALUE);
  std::wstring FPipeName = L"PipeServer";
  std::wstring FServerName;
  bool FConnected = false;
  bool FDestroying = false;
  std::unique_ptr<TWriteQueue> FWriteQueue;
  TPipeIOThread* FWorker = nullptr;
  unique_handle FKillEv;  // the current connection's own kill event
  std::shared_ptr<TPipeLink> FLink;  // shared with the client thread, detached on destruction
  TOnPipeError FOPE;
  TOnPipeDisconnect FOPD;
  TOnPipeMessage FOPM;
  TOnPipeSent FOPS;
};

}  // namespace velotarn
