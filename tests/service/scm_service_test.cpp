// The service under the SCM of the test prefix: start, the control codes, stop, and what the
// process does around them. The host's test module reports on \\.\pipe\VelotarnHostProbe when
// it is created and destroyed, and the SCM state at its destruction; velotarnsvc.exe is driven
// through its own pipe.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "control/ovpn_control.h"
#include "record_client.h"
#include "runtime/handles.h"
#include "runtime/text.h"
#include "service_test_support.h"
#include "test_support.h"

using namespace velotarn;
using namespace velotarn::test;

namespace {

constexpr DWORD kAll = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE |
                       SERVICE_ACCEPT_SHUTDOWN;

// Registers `program` with `args` on its binary path (the install run registers none).
unique_schandle Register(const std::wstring& program, const std::wstring& args) {
  unique_schandle manager = OpenManager();
  std::wstring path = L"\"" + program + L"\" " + args;
  unique_schandle service(CreateServiceW(
      manager.get(), kServiceName, L"Velotarn OpenVPN service", SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(), L"",
      nullptr, L"", nullptr, L""));
  EXPECT_TRUE(service) << "CreateServiceW: " << GetLastError();
  return service;
}

DWORD Control(SC_HANDLE service, DWORD code) {
  SERVICE_STATUS status{};
  EXPECT_TRUE(ControlService(service, code, &status)) << "control " << code << ": "
                                                      << GetLastError();
  return status.dwCurrentState;
}

void ExpectSteady(SC_HANDLE service, DWORD state) {
  SERVICE_STATUS_PROCESS s = QueryStatus(service);
  EXPECT_EQ(s.dwCurrentState, state);
  EXPECT_EQ(s.dwControlsAccepted, kAll);
  EXPECT_EQ(s.dwCheckPoint, 0u);
  EXPECT_EQ(s.dwWin32ExitCode, 0u);
  EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
}

// The service's process, opened while it runs, to see how it ends.
unique_handle ServiceProcess(SC_HANDLE service) {
  DWORD pid = QueryStatus(service).dwProcessId;
  EXPECT_NE(pid, 0u);
  return unique_handle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
}

int ExitCodeOf(HANDLE process) { return WaitExit(process, 30000); }

// The texts of one run's records up to and including its second end marker; fails the test
// when they do not come within 30 s or a message is no record.
std::vector<std::string> ReadRun(TRecordClient& client) {
  EXPECT_TRUE(client.WaitEndMarkers(2, 30000)) << "the run's end markers did not come";
  std::string text;
  for (const std::string& m : client.Messages()) EXPECT_EQ(CheckRecord(m, &text), "");
  return client.Texts();
}

bool Contains(const std::vector<std::string>& texts, const std::string& part) {
  for (const std::string& t : texts)
    if (t.find(part) != std::string::npos) return true;
  return false;
}

}  // namespace

TEST(ScmService, ControlCodesChangeTheStateAndTheModuleGoesOnlyAfterStopped) {
  CleanServiceSlot slot;
  EventLogWatch log;
  ProbePipe probe;
  unique_schandle service = Register(HostPath(), L"probe");
  ASSERT_TRUE(service);

  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  EXPECT_EQ(probe.Next(), "created");
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING)) << "not running";
  ExpectSteady(service.get(), SERVICE_RUNNING);
  EXPECT_EQ(QueryStatus(service.get()).dwWaitHint, 5000u);
  unique_handle process = ServiceProcess(service.get());

  Control(service.get(), SERVICE_CONTROL_PAUSE);
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_PAUSED)) << "not paused";
  ExpectSteady(service.get(), SERVICE_PAUSED);

  Control(service.get(), SERVICE_CONTROL_CONTINUE);
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING)) << "not running again";
  EXPECT_EQ(Control(service.get(), SERVICE_CONTROL_INTERROGATE),
            static_cast<DWORD>(SERVICE_RUNNING));
  // A user-defined code changes nothing; the pause after it is still carried out.
  Control(service.get(), 200);
  ExpectSteady(service.get(), SERVICE_RUNNING);
  Control(service.get(), SERVICE_CONTROL_PAUSE);
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_PAUSED));

  // Stop while paused.
  Control(service.get(), SERVICE_CONTROL_STOP);
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED)) << "not stopped";
  ExpectSteady(service.get(), SERVICE_STOPPED);
  // The module reports the SCM's view at its destruction: STOPPED (1).
  EXPECT_EQ(probe.Next(), "destroyed 1");
  ASSERT_TRUE(process);
  EXPECT_EQ(ExitCodeOf(process.get()), 0);
  EXPECT_TRUE(log.Entries().empty());
}

TEST(ScmService, ACreateHandlerErrorIsLoggedAndTheServiceStillStarts) {
  CleanServiceSlot slot;
  EventLogWatch log;
  unique_schandle service = Register(HostPath(), L"failcreate");
  ASSERT_TRUE(service);
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING))
      << "the service must not wait behind a box that nobody can see";
  unique_handle process = ServiceProcess(service.get());
  Control(service.get(), SERVICE_CONTROL_STOP);
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  EXPECT_EQ(ExitCodeOf(process.get()), 0);
  EXPECT_EQ(log.Entries(), std::vector<std::wstring>{L"create handler failed on purpose"});
}

TEST(ScmService, VelotarnsvcServesRequestsWhilePausedAndLogsAFailedRequest) {
  if (ServicePath().empty()) GTEST_SKIP() << "velotarnsvc.exe is not built";
  CleanServiceSlot slot;
  EventLogWatch log;
  ASSERT_EQ(RunProgram(ServicePath(), L"/install /silent").exit_code, 0);
  unique_schandle service = OpenVelotarn();
  ASSERT_TRUE(service);
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  unique_handle process = ServiceProcess(service.get());
  Control(service.get(), SERVICE_CONTROL_PAUSE);
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_PAUSED));

  TRecordClient client(kOvpnPipeName, PlainWait);
  ASSERT_TRUE(client.Connected()) << GetLastError();
  ASSERT_TRUE(client.Send(ConnectRequest(L"cmd.exe /c echo served while paused", L"C:\\windows")));
  std::vector<std::string> run = ReadRun(client);
  EXPECT_TRUE(Contains(run, "served while paused"));
  ExpectSteady(service.get(), SERVICE_PAUSED);

  // A "connect" without its command line fails in the message handler: logged, and the next
  // request is served all the same.
  ASSERT_TRUE(client.Send("connect"));
  ASSERT_TRUE(
      client.Send(ConnectRequest(L"cmd.exe /c echo served after the error", L"C:\\windows")));
  ASSERT_TRUE(client.WaitEndMarkers(4, 30000)) << "the second run's end markers did not come";
  run = client.Texts();
  EXPECT_TRUE(Contains(run, "served after the error"));

  Control(service.get(), SERVICE_CONTROL_CONTINUE);
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  Control(service.get(), SERVICE_CONTROL_STOP);
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  EXPECT_EQ(ExitCodeOf(process.get()), 0);
  EXPECT_EQ(log.Entries(), std::vector<std::wstring>{L"List index out of bounds (1)"});
}

TEST(ScmService, VelotarnsvcServesRequestsWhileAnOutcomeBoxIsOpen) {
  if (ServicePath().empty()) GTEST_SKIP() << "velotarnsvc.exe is not built";
  CleanServiceSlot slot;
  std::vector<std::string> served;
  // Uninstalling a service that does not exist shows an error box; the box's own loop serves
  // the pipe while it waits for the user.
  ProgramRun run = RunProgram(ServicePath(), L"/uninstall", 60000, [&](const BoxSeen&) {
    TRecordClient client(kOvpnPipeName, PlainWait);
    ASSERT_TRUE(client.Connected()) << GetLastError();
    ASSERT_TRUE(client.Send(ConnectRequest(L"cmd.exe /c echo served under a box", L"C:\\windows")));
    served = ReadRun(client);
  });
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0].caption, L"Error");
  EXPECT_TRUE(Contains(served, "served under a box"));
}

// The service reads its Parameters key when it starts: a program that is not listed is refused
// with one end marker and an entry in the log, a listed one runs; uninstalling removes the key
// with the service.
TEST(ScmService, VelotarnsvcAppliesTheProgramListOfItsParametersKey) {
  if (ServicePath().empty()) GTEST_SKIP() << "velotarnsvc.exe is not built";
  CleanServiceSlot slot;
  EventLogWatch log;
  ASSERT_EQ(RunProgram(ServicePath(), L"/install /silent").exit_code, 0);
  const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\svVelotarn\\Parameters";
  const std::wstring cmd = L"C:\\windows\\system32\\cmd.exe";
  const std::wstring list = cmd + L'\0' + L'\0';
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"AllowedPrograms", REG_MULTI_SZ,
                            list.data(), static_cast<DWORD>(list.size() * sizeof(wchar_t))),
            ERROR_SUCCESS);
  unique_schandle service = OpenVelotarn();
  ASSERT_TRUE(service);
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));

  TRecordClient client(kOvpnPipeName, PlainWait);
  ASSERT_TRUE(client.Connected()) << GetLastError();
  const std::wstring ping = L"C:\\windows\\system32\\ping.exe";
  ASSERT_TRUE(client.Send(ConnectRequest(ping + L" -n 1 127.0.0.1", L"C:\\windows")));
  ASSERT_TRUE(client.WaitEndMarkers(1, 30000));
  ASSERT_TRUE(client.Send(ConnectRequest(cmd + L" /c echo listed", L"C:\\windows")));
  ASSERT_TRUE(client.WaitEndMarkers(3, 30000));
  EXPECT_EQ(client.Texts(), (std::vector<std::string>{"#END#", "listed\r", "#END#", "#END#"}));

  Control(service.get(), SERVICE_CONTROL_STOP);
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  const std::vector<std::wstring> entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].rfind(L"Refused a request from process ", 0), 0u) << WideToUtf8(entries[0]);
  const std::wstring tail = L"): connect " + ping + L": the program is not among AllowedPrograms";
  EXPECT_NE(entries[0].find(tail), std::wstring::npos) << WideToUtf8(entries[0]);

  service.reset();
  ASSERT_EQ(RunProgram(ServicePath(), L"/uninstall /silent").exit_code, 0);
  HKEY left = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &left),
            ERROR_FILE_NOT_FOUND)
      << "the Parameters key outlived the service";
  unique_hkey left_owner(left);
}
