#pragma once
// TPipeListenThread: creates one instance of the server's pipe at a time, waits until a client
// connects to it and hands the connected instance to the server on the main thread. It then
// announces the connection (WM_PIPE_CONNECT) and only after that starts the connection's
// thread: connections are announced in the order the listener accepted them, each before
// anything else of it. Instances
// carry the pipe security descriptor, refuse remote clients, are never inheritable, and the
// first one of each activation must be the first instance of its name at all. A failure to
// create or connect an instance is reported and retried after a pause that grows up to
// kMaxRetryPauseMs, spent waiting on the kill event; an instance whose connect failed is closed
// only once its replacement exists, so that the name is never free meanwhile. A client that connected and left again
// before the connect call is still handed over, with whatever it wrote before leaving. When the server has as many clients as it
// takes, the listener pauses after the hand-off until the server lets it go on or kills it.
//
// Threading: made on the main thread by Make; runs on its own thread and frees itself.
// ResumeListening may be called from any thread while the object exists (the server calls it on
// the main thread before the termination handler has run).

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pipes/pipe_security.h"
#include "pipes/pipe_thread.h"

namespace velotarn {

class TPipeListenThread final : public TPipeThread {
 public:
  static constexpr DWORD kFirstRetryPauseMs = 20;
  static constexpr DWORD kMaxRetryPauseMs = 1000;
  static constexpr DWORD kDefaultTimeoutMs = 1000;  // for clients' WaitNamedPipe

  // A listener for PipeName whose instances let ClientSids in (see PipeSecuritySddl), not
  // started yet; raises when it cannot be made.
  static TNewThread<TPipeListenThread> Make(
      const std::shared_ptr<TPipeLink>& Link, const std::wstring& PipeName,
      const std::optional<std::vector<std::wstring>>& ClientSids, HANDLE KillEvent);

  // Lets a listener paused by back-pressure go on listening.
  void ResumeListening() noexcept { SetEvent(FResumeEv.get()); }

  // Everything a listener is given, made before the thread exists so that starting one cannot
  // fail half-way.
  struct THandles {
    unique_handle Kill;     // own duplicate of the server's kill event
    unique_handle Connect;  // manual-reset, the event of the connect OVERLAPPED
    unique_handle Resume;   // auto-reset, set by the server to end a pause
    std::unique_ptr<TOpenSecurity> Security;
  };

  // For NewPipeThread only.
  TPipeListenThread(std::shared_ptr<TPipeLink> Link, std::wstring PipeName, THandles Handles);
  ~TPipeListenThread() override;

 protected:
  void Execute() override;

 private:
  void CreateServerPipe();
  void ConnectClient();
  void HandOffClient();
  void ReportFailure();
  void WaitUntilResumed();
  void RetryPause();

  DWORD FErrorCode = 0;
  unique_handle FPipe;
  const std::wstring FPipeName;
  bool FConnected = false;
  bool FFirstInstance = true;  // no instance of this activation has been created yet
  DWORD FRetryPause = 0;
  unique_handle FKillEv;
  unique_handle FConnectEv;
  unique_handle FResumeEv;
  OVERLAPPED FOlapConnect{};
  std::unique_ptr<TOpenSecurity> FSA;
};

}  // namespace velotarn
