// Real tunnels through the real service: openvpn.exe, built from Debian's sources, against
// Debian's Linux openvpn server on 127.0.0.1, which run-tunnels starts for this program alone
// (one server and one certificate set for every case). The service runs under the SCM of the
// test prefix. A point-to-point server takes one client at a time: each case that uses it
// first waits until the server has let the previous client go.
#include <gtest/gtest.h>

#include <windows.h>

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

// The command line a desktop program would send: a client without a TAP device.
std::wstring ClientCommand(const std::wstring& port) {
  const TTunnelBed& bed = Bed();
  auto file = [&](const wchar_t* name) { return L" \"" + bed.pki + L"\\" + name + L"\""; };
  return L"\"" + bed.openvpn + L"\" --client --dev null --proto udp --remote 127.0.0.1 " + port +
         L" --nobind --ca" + file(L"ca.crt") + L" --cert" + file(L"client.crt") + L" --key" +
         file(L"client.key") + L" --verb 3 --ping 1 --ping-restart 10";
}

bool HasText(const TRecordClient& client, const std::string& text) {
  for (const std::string& t : client.Texts())
    if (t.find(text) != std::string::npos) return true;
  return false;
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
  void ConnectTunnel() {
    ASSERT_TRUE(Bed().server.WaitReady(60000)) << "the server did not let the last client go:\n"
                                               << Bed().server.Text();
    const size_t up_before = Bed().server.Count(kUp);
    markers_before_ = client_->EndMarkers();
    ASSERT_TRUE(client_->Send(ConnectRequest(ClientCommand(Bed().port), SelfDir())));
    ASSERT_TRUE(client_->WaitFor([](const TRecordClient& c) { return HasText(c, kUp); },
                                 kTunnelUpMs))
        << "the tunnel did not come up; relayed:\n" << Show(*client_);
    EXPECT_EQ(client_->EndMarkers(), markers_before_) << "the run ended while its tunnel was up";
    std::string text;
    for (const std::string& m : client_->Messages()) EXPECT_EQ(CheckRecord(m, &text), "");
    EXPECT_TRUE(Bed().server.WaitCount(kUp, up_before + 1, 20000))
        << "the server did not complete the tunnel:\n" << Bed().server.Text();
  }

  // "disconnect" ends the run: both end markers follow and no openvpn.exe is left.
  void DisconnectAndExpectTheEnd() {
    ASSERT_TRUE(client_->Send("disconnect"));
    EXPECT_TRUE(client_->WaitEndMarkers(markers_before_ + 2, 20000)) << "relayed:\n" << Show(*client_);
    EXPECT_EQ(client_->Texts().back(), "#END#");
    EXPECT_TRUE(FindProcesses({L"openvpn.exe"}).empty());
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
  DisconnectAndExpectTheEnd();
  EXPECT_TRUE(Bed().server.WaitCount(TServerLog::kClientGone, gone_before + 1, 30000))
      << "the server did not see the client go:\n" << Bed().server.Text();
}

TEST_F(Tunnels, AStopOfTheServiceWithATunnelUpLeavesNoOpenvpn) {
  InstallAndStart();
  ConnectTunnel();
  const std::vector<TProcessEntry> running = FindProcesses({L"openvpn.exe"});
  ASSERT_EQ(running.size(), 1u) << Describe(running);
  unique_handle openvpn(OpenProcess(SYNCHRONIZE, FALSE, running[0].pid));
  ASSERT_TRUE(openvpn);
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_TRUE(WaitForState(service_.get(), SERVICE_STOPPED, 30000));
  EXPECT_EQ(WaitForSingleObject(openvpn.get(), 30000), static_cast<DWORD>(WAIT_OBJECT_0))
      << "openvpn.exe outlived the service";
  EXPECT_TRUE(FindProcesses({L"openvpn.exe"}).empty());
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
