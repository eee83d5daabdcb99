#pragma once
// Shared by the service tests: the event log entries that Wine reports (see run-logged), running
// one of our programs while closing the message boxes it shows as a user would, the programs
// under test, and the SCM of the test prefix.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "runtime/handles.h"

namespace velotarn::test {

// The event log entries written since construction, by this process or any other of the run
// (the program must run under run-logged, which collects them in one file).
class EventLogWatch {
 public:
  EventLogWatch();
  std::vector<std::wstring> Entries() const;

 private:
  std::wstring path_;
  LONGLONG start_ = 0;
};

// Wine's form of an entry: `...:err:eventlog:ReportEventW L"<text>"`; returns whether `line` is
// one and puts its text (escapes undone) into `text`.
bool ParseEventLogLine(const std::string& line, std::wstring* text);

struct BoxSeen {
  std::wstring caption;
  std::wstring text;
};

struct ProgramRun {
  int exit_code = -1;  // -1: it did not end in time (it is then terminated)
  std::vector<BoxSeen> boxes;
};

// Whose message boxes RunProgram reads and closes: the program's own, or those of every
// process while it runs (an installer runs its custom actions in processes of their own).
enum class TBoxesOf { Program, AnyProcess };

// Starts `path` with `args`, closes every message box it shows with OK (after reading its
// caption and text, and after `while_open` has run for it), and waits at most `timeout_ms` for
// it to end.
ProgramRun RunProgram(const std::wstring& path, const std::wstring& args,
                      DWORD timeout_ms = 60000,
                      const std::function<void(const BoxSeen&)>& while_open = {},
                      TBoxesOf boxes_of = TBoxesOf::Program);

// The host with a test module (service_test_host.exe), and velotarnsvc.exe when it is built
// (empty otherwise).
std::wstring HostPath();
std::wstring ServicePath();

// The SCM's system text for `code`, as the programs put it into their messages.
std::wstring SystemText(DWORD code);

// --- The SCM of the test prefix -------------------------------------------------------------

constexpr wchar_t kServiceName[] = L"svVelotarn";

unique_schandle OpenManager();
// Null when svVelotarn is not registered.
unique_schandle OpenVelotarn();
SERVICE_STATUS_PROCESS QueryStatus(SC_HANDLE service);
// The registered binary path (QueryServiceConfigW), and the rest of the registration.
struct Registration {
  std::wstring binary_path, display_name, load_order_group, dependencies, start_name;
  DWORD service_type = 0, start_type = 0, error_control = 0;
};
Registration QueryRegistration(SC_HANDLE service);
// Waits, without polling, for the service to report `state`; false after `timeout_ms`.
bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeout_ms = 20000);

// Makes sure that no svVelotarn is registered, on construction and again on destruction
// (stopping it first and waiting for its process to end), so that every test starts and
// leaves the prefix clean, also when it fails.
class CleanServiceSlot {
 public:
  CleanServiceSlot() { RemoveService(); }
  ~CleanServiceSlot() { RemoveService(); }
  static void RemoveService();
};

// The test's end of \\.\pipe\VelotarnHostProbe, where service_test_host.exe's module reports.
class ProbePipe {
 public:
  ProbePipe();
  // The next message, or "" when none arrived within `timeout_ms`.
  std::string Next(DWORD timeout_ms = 20000);

 private:
  bool connected_ = false;
  unique_handle pipe_;
  unique_handle event_;
};

}  // namespace velotarn::test
