#pragma once
// Shared by the control tests: the child program, named events that gate it, processes that
// are ended when a test is over, and a recorder of one runner's deliveries.

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "control/ovpn_thread.h"
#include "names_and_counts.h"
#include "runtime/handles.h"

namespace velotarn::test {

// The child program beside the test program, as ovpn_child.exe or as openvpn.exe.
std::wstring ChildPath(bool as_openvpn = false);
// A command line running the child with the given steps (see ovpn_child.cpp).
std::wstring ChildCommand(std::initializer_list<std::wstring> steps, bool as_openvpn = false);

// A named auto-reset event that a child can wait on ("gate:NAME") or signal ("signal:NAME").
class TGate {
 public:
  explicit TGate(const std::wstring& prefix = L"gate");
  const std::wstring& Name() const { return FName; }
  void Open() const { SetEvent(FEvent.get()); }
  // True once the event is signalled (by a child), within the bound; consumes the signal. The
  // main loop runs meanwhile.
  bool WaitSignalled(DWORD timeout_ms = 20000) const;
  bool IsSignalled() const { return WaitSignalled(0); }

 private:
  std::wstring FName;
  unique_handle FEvent;
};

// A process the test started or found; terminated when the owner goes if still running.
class TChildProcess {
 public:
  TChildProcess() = default;
  explicit TChildProcess(unique_handle process) : FProcess(std::move(process)) {}
  TChildProcess(TChildProcess&&) = default;
  // Ends the process held so far (if it runs) before taking the other one.
  TChildProcess& operator=(TChildProcess&& other) noexcept;
  ~TChildProcess() { EndIfRunning(); }

  // Terminates the process if it still runs and waits (bounded) for its end.
  void EndIfRunning() noexcept;

  // Starts `command` with no handles inherited and without a console: under Wine a console
  // child of a process without one gets a conhost.exe that keeps the test's output open.
  static TChildProcess Start(const std::wstring& command);
  // Opens the process with id `pid` for waiting and ending.
  static TChildProcess Open(DWORD pid);

  HANDLE Get() const { return FProcess.get(); }
  bool Running() const { return WaitForSingleObject(FProcess.get(), 0) == WAIT_TIMEOUT; }
  // The exit code once it has ended within the bound, -1 otherwise. The main loop runs
  // meanwhile.
  int WaitExit(DWORD timeout_ms = 20000) const;

 private:
  unique_handle FProcess;
};

// Starts a runner on the main thread and records what reaches the main thread: every OnLine
// text, the OnTerminate call and the runner's FatalException text at that moment.
class TRunRecorder {
 public:
  TRunRecorder() = default;
  TRunRecorder(const TRunRecorder&) = delete;
  TRunRecorder& operator=(const TRunRecorder&) = delete;
  // Detaches a runner that has not finished, so that it never reaches a gone recorder.
  ~TRunRecorder();

  // Creates, configures (FreeOnTerminate) and, unless `start` is false, starts the runner.
  TOvpnThread* Start(const std::wstring& command, const std::wstring& directory,
                     bool start = true);
  // Runs the main loop until OnTerminate has come, or the bound has passed.
  bool WaitEnd(DWORD timeout_ms = 30000);
  // Runs the main loop until at least `count` lines have come.
  bool WaitLines(size_t count, DWORD timeout_ms = 20000);

  TOvpnThread* Runner() const { return FRunner; }  // valid until Terminated()
  bool Terminated() const { return FTerminateCount > 0; }
  int TerminateCount() const { return FTerminateCount; }
  const std::vector<std::wstring>& Lines() const { return FLines; }
  const std::wstring& Fatal() const { return FFatal; }

 private:
  TOvpnThread* FRunner = nullptr;
  std::vector<std::wstring> FLines;
  int FTerminateCount = 0;
  std::wstring FFatal;
};

// A line of the child's output as the runner hands it over (ANSI text as UTF-16).
std::wstring W(const std::string& ansi);

}  // namespace velotarn::test
