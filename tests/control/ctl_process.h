#pragma once
// velotarnctl.exe run as a child of the test, its standard output and error captured by reader
// threads as they come, so that a test can watch lines arrive while the child still runs.
//
// Threading: used on the main thread; the reader threads touch only the captured text, under a
// lock. Waits run the main loop (the control module hosted by the test lives there).

#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control_test_support.h"
#include "runtime/handles.h"

namespace velotarn::test {

// One argument quoted for CommandLineToArgvW: blanks, quotes and backslashes survive as is.
std::wstring QuoteArg(const std::wstring& arg);

class TCtlProcess {
 public:
  // Starts velotarnctl.exe (beside the test program) with `args`, each quoted; without a
  // console, or with `own_console` on a console of its own (for SendCtrlC).
  explicit TCtlProcess(const std::vector<std::wstring>& args, bool own_console = false);
  ~TCtlProcess();
  TCtlProcess(const TCtlProcess&) = delete;
  TCtlProcess& operator=(const TCtlProcess&) = delete;

  bool Started() const { return FProcess.Get() != nullptr; }
  std::string Output() const;
  std::string Errors() const;
  // Runs the main loop until the output contains `text`.
  bool WaitOutput(const std::string& text, DWORD timeout_ms = 20000);
  // Ctrl+C on its console, sent by a helper that attaches to it (a process can send one only
  // on its own console, and the test has none). True when the helper sent it.
  bool SendCtrlC();
  // Runs the main loop until the child has ended and its output is complete; its exit code,
  // or -1 when it did not end within the bound.
  int WaitExit(DWORD timeout_ms = 30000);

 private:
  void ReadAll(unique_handle pipe, std::string* into, bool* ended);

  TChildProcess FProcess;
  mutable std::mutex FLock;
  std::string FOutput, FErrors;
  bool FOutputEnded = false, FErrorsEnded = false;
  std::thread FOutReader, FErrReader;
};

}  // namespace velotarn::test
