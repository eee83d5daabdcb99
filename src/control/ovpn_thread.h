#pragma once
// TOvpnThread: runs one OpenVPN process for the control module. On its own thread it starts
// the command line as a child whose standard output and standard error write into one
// anonymous pipe, reads that pipe in 256-byte chunks, cuts the bytes into lines at CR and hands
// every line that one read completes to the main thread in one synchronous call, which passes
// them to OnLine one by one, in order. When the output ends it hands over "#END#" the same way,
// terminates the child if it still runs, releases its handles and signals the named event
// "EXIT_EVENT" (auto-reset, shared by every runner of the process). The child joins the
// process's child job (ChildJob) before it runs, so it cannot outlive the process. Lines longer
// than the line buffer travel as several pieces (see TLineSplitter).
//
// Flow control: after each read's lines, in the same call, OnBacklog may hand the runner a
// handle to wait on before it reads more (the lines' receiver cannot take more yet). It waits
// until the handle is signalled or TerminateOvpn is called, at most kOvpnBacklogWaitMs at a
// time, then reads on and asks again; meanwhile the child's writes block on the full pipe.
//
// Threading: created suspended, configured (OnLine, OnBacklog, OnTerminate, FreeOnTerminate,
// FCmd, FOvpnDir) and started on the main thread, which never changes them afterwards. Execute
// runs on the runner's own thread; OnLine, OnBacklog and OnTerminate run on the main thread
// through synchronous calls, while the runner waits. TerminateOvpn may be called from any
// thread, also from two at once. Detach is called on the main thread.
//
// Lifetime: a runner with FreeOnTerminate frees itself once its OnTerminate has run on the main
// thread; until then it cannot go away. Its owner calls Detach when it is itself being
// destroyed: from then on no OnLine or OnTerminate call reaches the owner, deliveries are
// skipped so that the run ends without the main thread, and the runner may free itself at any
// moment, so the owner must not touch it after Detach. FEvent is shared: a waiter keeps its own
// reference and never waits on a closed handle.

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/exceptions.h"
#include "runtime/handles.h"
#include "runtime/thread.h"

namespace velotarn {

// The line handler: the text of one output line, or the end marker.
using TOnline = std::function<void(const std::wstring& Aline)>;
// After a read's lines: a handle (the runner's own) to wait on before reading more, or none.
using TOnBacklog = std::function<unique_handle()>;

inline constexpr wchar_t kExitEventName[] = L"EXIT_EVENT";
// A child that could not be started: the text names the command line, ErrorCode is the
// system's reason.
class EStartError : public Exception {
 public:
  EStartError(const std::wstring& CommandLine, DWORD ErrorCode)
      : Exception(L"unable to execute command " + CommandLine), FErrorCode(ErrorCode) {}
  DWORD ErrorCode() const noexcept { return FErrorCode; }
  const wchar_t* ClassName() const noexcept override { return L"EStartError"; }

 private:
  DWORD FErrorCode;
};

// How long TerminateOvpn waits for a terminated child to end.
constexpr DWORD kOvpnTerminateWaitMs = 20000;
// The longest one wait for a backlog handle; OnBacklog decides how long the runner is held in
// all, by handing out a handle again or not.
constexpr DWORD kOvpnBacklogWaitMs = 1000;

class TOvpnThread : public TThread {
 public:
  // Suspended; opens (or creates) "EXIT_EVENT". Create with TThread::New<TOvpnThread>().
  TOvpnThread();
  ~TOvpnThread() override;

  TOnline OnLine;
  TOnBacklog OnBacklog;
  std::wstring FCmd;      // the child's complete command line
  std::wstring FOvpnDir;  // its working directory, passed on even when empty
  // The file to start; empty: the program that the command line names, found as process
  // creation finds it.
  std::wstring FApplication;
  // "EXIT_EVENT"; holds no handle when it could be neither opened nor created.
  const std::shared_ptr<const unique_handle> FEvent;
  // The event the child watches to end by itself (--service <event>, exit_event.h); empty
  // when it watches none. A child that watches "EXIT_EVENT" is protected from the other runs'
  // ends: while it runs, their end signals are left out, and a signal left over from before is
  // cleared before it starts.
  std::wstring FExitEvent;

  // Creates the output pipe and starts the child; True, or raises (EStartError, or the system
  // error of a pipe that cannot be made), with nothing started and nothing left open. Runner
  // thread only.
  bool StartOvpn(const std::wstring& CommandLine, const std::wstring& Directory);

  // Terminates the child (exit code: the program's own), waits up to WaitMs for it, and closes
  // its handles. Each handle is terminated, waited on and closed at most once, whichever thread
  // gets there first; a child started after this call is not started at all.
  void TerminateOvpn(DWORD WaitMs = kOvpnTerminateWaitMs);

  // A handle of our own to the child (SYNCHRONIZE, PROCESS_TERMINATE, limited query), or
  // none while no child runs or once TerminateOvpn has let it go. Any thread.
  unique_handle ChildProcess();

  // Main thread only. See Lifetime above.
  void Detach() noexcept;

 protected:
  void Execute() override;
  void DoTerminate() override;

 private:
  void ReadOutput();
  void AddLine(std::string_view Line);
  // Hands the lines added since the last delivery to the main thread in one call; with
  // AskBacklog, OnBacklog is asked too.
  void DeliverLines(bool AskBacklog);
  void DoLines(bool AskBacklog);
  void WaitForBacklog();
  // The end signal of the shared "EXIT_EVENT", unless a live run's child watches it.
  void SignalEnd();

  // Written by the runner between deliveries, read by DoLines. The first FLineCount lines are
  // the ones to deliver; the strings are kept from one read to the next, and so is their room.
  std::vector<std::wstring> FLines;
  size_t FLineCount = 0;
  unique_handle FBacklog;  // from OnBacklog, for the runner to wait on
  std::atomic<bool> FDetached{false};
  // Set by TerminateOvpn: a backlog wait ends at once. No handle when it could not be made:
  // the waits then end at their bound.
  const unique_handle FWakeEv;

  std::mutex FProcessLock;  // guards the three fields below
  unique_handle FOPVNProcess;
  unique_handle FOPVNThread;
  bool FOvpnEnded = false;  // TerminateOvpn has run

  unique_handle FReadPipe;  // runner thread only
  // Runner thread only: counted among the runs whose child watches "EXIT_EVENT".
  bool FWatchesShared = false;
};

}  // namespace velotarn
