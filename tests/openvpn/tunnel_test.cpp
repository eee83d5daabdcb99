// Real tunnels through the real service: openvpn.exe, built from Debian's sources, against
// Debian's Linux openvpn server on 127.0.0.1, which run-tunnels starts for this program alone
// (one server and one certificate set for every case). The service runs under the SCM of the
// test prefix. A point-to-point server takes one client at a time: each case that uses it
// first waits until the server has let the previous client go.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "control/ovpn_control.h"
#include "process_probe.h"
#include "record_client.h"
#include "runtime/handles.h"
#include "runtime/text.h"
#include "server_log.h"
#include "service_test_support.h"
#include "soak_support.h"
#include "test_support.h"

namespace velotarn::test {
namespace {

constexpr DWORD kTunnelUpMs = 60000;  // a TLS handshake under Wine on a loaded machine
constexpr char kUp[] = "Initialization Sequence Completed";

std::wstring Env(const wchar_t* name) {
  wchar_t value[1024] = {};
  const DWORD n = GetEnvironmentVariableW(name, value, 1024);
  return n > 0 && n < 1024 ? std::wstring(value, n) : std::wstring();
}

// What run-tunnels hands over (Windows paths).
struct TTunnelBed {
  std::wstring openvpn = Env(L"VELOTARN_OVPN_EXE");
  std::wstring pki = Env(L"VELOTARN_OVPN_PKI");  // ca.crt, client.crt, client.key
  std::wstring port = Env(L"VELOTARN_OVPN_PORT");
  std::wstring dead_port = Env(L"VELOTARN_OVPN_DEAD_PORT");  // nothing answers there
  TServerLog server{Env(L"VELOTARN_OVPN_SERVER_LOG")};
};
TTunnelBed& Bed() {
  static TTunnelBed bed;
  return bed;
}

// The command line a desktop program would send: a client without a TAP device; `extra` adds
// arguments (an exit event).
std::wstring ClientCommand(const std::wstring& port, const std::wstring& extra = L"") {
  const TTunnelBed& bed = Bed();
  auto file = [&](const wchar_t* name) { return L" \"" + bed.pki + L"\\" + name + L"\""; };
  return L"\"" + bed.openvpn + L"\" --client --dev null --proto udp --remote 127.0.0.1 " + port +
         L" --nobind --ca" + file(L"ca.crt") + L" --cert" + file(L"client.crt") + L" --key" +
         file(L"client.key") + L" --verb 3 --ping 1 --ping-restart 10" + extra;
}

// An exit event of this test program's own, and the arguments that name it.
std::wstring ExitEventName(const wchar_t* what) {
  return L"Global\\velotarn-tunnel-" + std::wstring(what) + L"-" +
         std::to_wstring(GetCurrentProcessId());
}
std::wstring ExitEventArgs(const std::wstring& name) {
  return L" --service " + name + L" 0 --explicit-exit-notify 2";
}

constexpr char kExitedCleanly[] = "SIGTERM[soft,exit-with-notification] received, process exiting";
constexpr char kServerSawTheNotice[] = "SIGUSR1[soft,remote-exit]";

bool HasText(const TRecordClient& client, const std::string& text) {
  for (const std::string& t : client.Texts())
    if (t.find(text) != std::string::npos) return true;
  return false;
}

// The one openvpn.exe running, opened for waiting; none (and a failure) when there is not
// exactly one.
unique_handle TheOpenvpn() {
  const std::vector<TProcessEntry> running = FindProcesses({L"openvpn.exe"});
  EXPECT_EQ(running.size(), 1u) << Describe(running);
  return running.size() == 1 ? unique_handle(OpenProcess(SYNCHRONIZE, FALSE, running[0].pid))
                             : unique_handle();
}

std::string Show(const TRecordClient& client) {
  std::string all;
  for (const std::string& t : client.Texts()) all += "  " + Printable(t) + "\n";
  return all;
}

class Tunnels : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Bed().openvpn.empty()) GTEST_SKIP() << "run-tunnels did not hand over openvpn.exe";
  }

  // Installs and starts velotarnsvc; with `allowed_program`, as the only entry of
  // AllowedPrograms.
  void InstallAndStart(const std::wstring& allowed_program = L"") {
    ASSERT_FALSE(ServicePath().empty()) << "velotarnsvc.exe is not built";
    ASSERT_EQ(RunProgram(ServicePath(), L"/install /silent").exit_code, 0);
    if (!allowed_program.empty()) {
      const std::wstring list = allowed_program + L'\0' + L'\0';
      ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE,
                                L"SYSTEM\\CurrentControlSet\\Services\\svVelotarn\\Parameters",
                                L"AllowedPrograms", REG_MULTI_SZ, list.data(),
                                static_cast<DWORD>(list.size() * sizeof(wchar_t))),
                ERROR_SUCCESS);
    }
    service_ = OpenVelotarn();
    ASSERT_TRUE(service_);
    ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(service_.get(), SERVICE_RUNNING, 30000));
    client_ = std::make_unique<TRecordClient>(kOvpnPipeName, PlainWait);
    ASSERT_TRUE(client_->Connected()) << GetLastError();
  }

  // Starts a tunnel to the server once it has let the previous client go, and waits until
  // both ends have it up; the records arrive while it is up.
  void ConnectTunnel(const std::wstring& extra = L"") {
    ASSERT_TRUE(Bed().server.WaitReady(60000)) << "the server did not let the last client go:\n"
                                               << Bed().server.Text();
    ConnectAtOnce(extra);
  }
  // The same without waiting for the server: a client that finds it busy tries again.
  // `ending`: end markers of an earlier run that may still arrive meanwhile.
  void ConnectAtOnce(const std::wstring& extra = L"", size_t ending = 0) {
    const size_t up_before = Bed().server.Count(kUp);
    markers_before_ = client_->EndMarkers();
    const size_t texts_before = client_->Texts().size();
    ASSERT_TRUE(client_->Send(ConnectRequest(ClientCommand(Bed().port, extra), SelfDir())));
    ASSERT_TRUE(client_->WaitFor(
        [&](const TRecordClient& c) {
          const std::vector<std::string> texts = c.Texts();
          for (size_t n = texts_before; n < texts.size(); ++n)
            if (texts[n].find(kUp) != std::string::npos) return true;
          return false;
        },
        kTunnelUpMs))
        << "the tunnel did not come up; relayed:\n" << Show(*client_);
    EXPECT_LE(client_->EndMarkers(), markers_before_ + ending)
        << "the run ended while its tunnel was up";
    std::string text;
    for (const std::string& m : client_->Messages()) EXPECT_EQ(CheckRecord(m, &text), "");
    EXPECT_TRUE(Bed().server.WaitCount(kUp, up_before + 1, 20000))
        << "the server did not complete the tunnel:\n" << Bed().server.Text();
  }

  // "disconnect" ends the run: both end markers follow and no openvpn.exe is left. Returns
  // how long that took, in ms.
  DWORD DisconnectAndExpectTheEnd() {
    const ULONGLONG sent = GetTickCount64();
    EXPECT_TRUE(client_->Send("disconnect"));
    EXPECT_TRUE(client_->WaitEndMarkers(markers_before_ + 2, 30000)) << "relayed:\n" << Show(*client_);
    const DWORD took = static_cast<DWORD>(GetTickCount64() - sent);
    EXPECT_EQ(client_->Texts().back(), "#END#");
    EXPECT_TRUE(FindProcesses({L"openvpn.exe"}).empty());
    std::printf("from \"disconnect\" to the second end marker: %lu ms\n", took);
    return took;
  }

  CleanServiceSlot slot_;
  TLeftoverChildren leftovers_;
  unique_schandle service_;
  std::unique_ptr<TRecordClient> client_;
  size_t markers_before_ = 0;  // those of earlier runs on this connection
};

TEST_F(Tunnels, ConnectRelaysTheTunnelAndDisconnectEndsItAndTheServerSeesItGo) {
  InstallAndStart();
  const size_t gone_before = Bed().server.Count(TServerLog::kClientGone);
  ConnectTunnel();
  // Without an exit event the process is ended at once: no wait for it to end by itself.
  EXPECT_LT(DisconnectAndExpectTheEnd(), kExitEventWaitMs);
  EXPECT_TRUE(Bed().server.WaitCount(TServerLog::kClientGone, gone_before + 1, 30000))
      << "the server did not see the client go:\n" << Bed().server.Text();
}

TEST_F(Tunnels, AStopWithATunnelUpAsksItsExitEventAndLeavesNoOpenvpn) {
  InstallAndStart();
  const size_t notices = Bed().server.Count(kServerSawTheNotice);
  ConnectTunnel(ExitEventArgs(ExitEventName(L"stop")));
  unique_handle openvpn = TheOpenvpn();
  ASSERT_TRUE(openvpn);
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_TRUE(WaitForState(service_.get(), SERVICE_STOPPED, 30000));
  EXPECT_EQ(WaitForSingleObject(openvpn.get(), 30000), static_cast<DWORD>(WAIT_OBJECT_0))
      << "openvpn.exe outlived the service";
  EXPECT_TRUE(FindProcesses({L"openvpn.exe"}).empty());
  EXPECT_TRUE(Bed().server.WaitCount(kServerSawTheNotice, notices + 1, 20000))
      << "the server got no exit notice:\n" << Bed().server.Text();
}

// With an exit event, "disconnect" sets it: OpenVPN tells the server, its last lines arrive
// before the end markers, and it ends by itself within the bound. A "connect" sent right after
// it is served meanwhile, and its tunnel comes up and stays up.
TEST_F(Tunnels, DisconnectLetsATunnelWithAnExitEventEndByItselfAndAConnectRightAfterStays) {
  InstallAndStart();
  const size_t notices = Bed().server.Count(kServerSawTheNotice);
  ConnectTunnel(ExitEventArgs(ExitEventName(L"first")));
  ASSERT_TRUE(client_->Send("disconnect"));
  const ULONGLONG sent = GetTickCount64();
  ConnectAtOnce(ExitEventArgs(ExitEventName(L"second")), /*ending=*/2);
  ASSERT_TRUE(client_->WaitEndMarkers(2)) << "the first run did not end";
  std::printf("the first run ended by itself %llu ms after \"disconnect\" or sooner\n",
              GetTickCount64() - sent);
  EXPECT_TRUE(HasText(*client_, kExitedCleanly)) << "relayed:\n" << Show(*client_);
  EXPECT_TRUE(Bed().server.WaitCount(kServerSawTheNotice, notices + 1, 20000))
      << "the server got no exit notice:\n" << Bed().server.Text();
  unique_handle second = TheOpenvpn();
  ASSERT_TRUE(second);
  const ULONGLONG past_bound = sent + kExitEventWaitMs + 1000;
  const ULONGLONG now = GetTickCount64();
  EXPECT_EQ(WaitForSingleObject(second.get(), now < past_bound ? static_cast<DWORD>(past_bound - now) : 0),
            static_cast<DWORD>(WAIT_TIMEOUT))
      << "the earlier disconnect ended the new tunnel";
  EXPECT_EQ(client_->EndMarkers(), 2u);
  markers_before_ = 2;
  DisconnectAndExpectTheEnd();
}

// A process that does not watch the event it was given is ended once the bound has passed; a
// tunnel started meanwhile is not, as it was not running when "disconnect" came.
TEST_F(Tunnels, AProcessThatIgnoresItsExitEventIsEndedAtTheBoundAndATunnelStartedMeanwhileStays) {
  InstallAndStart();
  const std::wstring name = ExitEventName(L"ignored");
  unique_handle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  ASSERT_TRUE(event);
  ASSERT_TRUE(client_->Send(ConnectRequest(
      L"\"" + SelfDir() + L"\\openvpn.exe\" out:up\\r hang --service " + name + L" 0", SelfDir())));
  ASSERT_TRUE(client_->WaitFor([](const TRecordClient& c) { return HasText(c, "up\r"); }));
  ASSERT_TRUE(Bed().server.WaitReady(60000)) << Bed().server.Text();

  ASSERT_TRUE(client_->Send("disconnect"));
  const ULONGLONG sent = GetTickCount64();
  ASSERT_TRUE(client_->Send(ConnectRequest(ClientCommand(Bed().port), SelfDir())));
  ASSERT_TRUE(client_->WaitEndMarkers(2, kExitEventWaitMs + 20000)) << Show(*client_);
  const DWORD took = static_cast<DWORD>(GetTickCount64() - sent);
  std::printf("a process that ignores its exit event ended after %lu ms\n", took);
  EXPECT_GE(took, kExitEventWaitMs - 500) << "ended before its bound";
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0))
      << "the exit event was not set";

  ASSERT_TRUE(client_->WaitFor([](const TRecordClient& c) { return HasText(c, kUp); },
                               kTunnelUpMs))
      << Show(*client_);
  unique_handle tunnel = TheOpenvpn();
  ASSERT_TRUE(tunnel);
  EXPECT_EQ(WaitForSingleObject(tunnel.get(), 1000), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the tunnel started during the wait was ended";
  EXPECT_EQ(client_->EndMarkers(), 2u);
  markers_before_ = 2;
  DisconnectAndExpectTheEnd();
}

// Every run signals "EXIT_EVENT" when it ends. A tunnel that watches that very name must not
// be ended by another run's end, nor by a signal left over from before it started. The test
// holds the event as a manual-reset one (as an OpenVPN started elsewhere would have made it),
// so that a signal stays until it is seen.
TEST_F(Tunnels, ATunnelThatWatchesExitEventOutlivesTheEndOfAnotherRun) {
  unique_handle shared(CreateEventW(nullptr, TRUE, TRUE, L"EXIT_EVENT"));  // set: left over
  ASSERT_TRUE(shared);
  InstallAndStart();
  ConnectTunnel(L" --service EXIT_EVENT 0 --explicit-exit-notify 2");
  unique_handle tunnel = TheOpenvpn();
  ASSERT_TRUE(tunnel);

  ASSERT_TRUE(client_->Send(ConnectRequest(L"C:\\windows\\system32\\cmd.exe /c echo other", SelfDir())));
  ASSERT_TRUE(client_->WaitEndMarkers(markers_before_ + 2)) << Show(*client_);
  EXPECT_EQ(WaitForSingleObject(shared.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "another run's end set the event the tunnel watches";
  EXPECT_EQ(WaitForSingleObject(tunnel.get(), 3000), static_cast<DWORD>(WAIT_TIMEOUT))
      << "another run's end ended the tunnel";
  markers_before_ += 2;
  EXPECT_LT(DisconnectAndExpectTheEnd(), kExitEventWaitMs);
  EXPECT_TRUE(HasText(*client_, kExitedCleanly)) << "relayed:\n" << Show(*client_);
}

TEST_F(Tunnels, AServerThatDoesNotAnswerHasTheAttemptRelayedUntilDisconnect) {
  InstallAndStart();
  ASSERT_TRUE(client_->Send(ConnectRequest(ClientCommand(Bed().dead_port), SelfDir())));
  // The client says where it sends its first packet, then waits for an answer that never comes.
  const std::string remote = "link remote: [AF_INET]127.0.0.1:" + WideToUtf8(Bed().dead_port);
  ASSERT_TRUE(client_->WaitFor([&](const TRecordClient& c) { return HasText(c, remote); },
                               kTunnelUpMs))
      << "relayed:\n" << Show(*client_);
  EXPECT_EQ(client_->EndMarkers(), 0u);
  DisconnectAndExpectTheEnd();
}

TEST_F(Tunnels, WithAllowedProgramsTheBuiltOpenvpnRunsAndAnotherProgramIsRefused) {
  InstallAndStart(Bed().openvpn);
  EventLogWatch log;
  ASSERT_TRUE(client_->Send(ConnectRequest(L"C:\\windows\\system32\\cmd.exe /c echo no", SelfDir())));
  ASSERT_TRUE(client_->WaitEndMarkers(1, 20000));
  EXPECT_EQ(client_->Texts(), std::vector<std::string>{"#END#"});
  ConnectTunnel();
  DisconnectAndExpectTheEnd();
  const std::vector<std::wstring> entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_NE(entries[0].find(L"cmd.exe: the program is not among AllowedPrograms"), std::wstring::npos)
      << WideToUtf8(entries[0]);
}

}  // namespace
}  // namespace velotarn::test
