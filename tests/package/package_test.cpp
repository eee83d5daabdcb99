// The installer package under the Windows Installer of a prefix of its own (run-logged
// --package), installed, repaired, upgraded and removed unattended with msiexec /qn, as an
// administrator deploys it. Every test starts and ends with the package removed (TPackageSlot).
#include <gtest/gtest.h>

#include <windows.h>

#include "control/ovpn_control.h"
#include "package_test_support.h"
#include "record_client.h"
#include "runtime/text.h"
#include "version_info.h"

using namespace velotarn;
using namespace velotarn::test;

namespace {

class Package : public testing::Test {
 protected:
  void SetUp() override {
    if (PackagePath().empty()) GTEST_SKIP() << "the package was not built (wixl missing)";
  }

  // The run ended with success and no process showed a box.
  static void ExpectSucceeded(const TMsiRun& run) {
    EXPECT_EQ(run.exit_code, 0) << Describe(run);
    EXPECT_TRUE(run.boxes.empty()) << Describe(run);
  }

  // The run failed as Windows Installer reports a failed installation, showed no box, and
  // logged `logged` (when given).
  static void ExpectFailed(const TMsiRun& run, const std::string& logged = "") {
    EXPECT_EQ(run.exit_code, static_cast<int>(ERROR_INSTALL_FAILURE)) << Describe(run);
    EXPECT_TRUE(run.boxes.empty()) << Describe(run);
    EXPECT_NE(run.log.find(logged), std::string::npos) << "not in the log: " << logged << "\n"
                                                       << Describe(run);
  }

  // Exactly one product of the package is installed, with this version.
  static void ExpectOneProduct(const std::wstring& version) {
    std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u) << products.size() << " products installed";
    EXPECT_EQ(InstalledVersion(products[0]), version);
  }

  // svVelotarn as the package registers it, and running: the program in Program Files, its
  // path in quotes, started automatically as LocalSystem; one process of it.
  static void ExpectRegisteredAndRunning() {
    unique_schandle service = OpenVelotarn();
    ASSERT_TRUE(service) << "svVelotarn is not registered";
    Registration r = QueryRegistration(service.get());
    EXPECT_EQ(r.binary_path, Quoted(InstallDir() + L"\\velotarnsvc.exe"));
    EXPECT_EQ(r.display_name, L"Velotarn OpenVPN service");
    EXPECT_EQ(r.start_type, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(r.start_name, L"LocalSystem");
    ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING)) << "svVelotarn is not running";
    EXPECT_EQ(ServiceProcesses().size(), 1u);
  }

  // A run through the service's pipe: cmd.exe echoes `word`, then the run's two end markers.
  static void ExpectRelays(const std::wstring& word) {
    TRecordClient client(kOvpnPipeName, PlainWait);
    ASSERT_TRUE(client.Connected()) << "nothing serves the pipe: " << GetLastError();
    ASSERT_TRUE(client.Send(ConnectRequest(L"cmd.exe /c echo " + word, L"C:\\windows")));
    ASSERT_TRUE(client.WaitEndMarkers(2, 30000)) << "the run's end markers did not come";
    std::string texts;
    for (const std::string& text : client.Texts()) texts += text;
    EXPECT_NE(texts.find(WideToUtf8(word)), std::string::npos) << Printable(texts);
  }

  // The process of a service that must have ended by now.
  static bool Ended(const unique_handle& process) {
    return process && WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
  }

  TPackageSlot slot_;
};

std::vector<std::wstring> List(std::initializer_list<const wchar_t*> entries) {
  return std::vector<std::wstring>(entries.begin(), entries.end());
}

TEST_F(Package, InstallRunsTheServiceFromProgramFilesAndUninstallRemovesEverything) {
  ExpectSucceeded(Msiexec(L"/i " + Quoted(PackagePath())));
  for (const wchar_t* name : {L"velotarnsvc.exe", L"velotarnctl.exe"}) {
    const std::wstring path = InstallDir() + L"\\" + name;
    ASSERT_TRUE(FileExists(path)) << WideToUtf8(path) << " is missing";
    EXPECT_EQ(ReadVersionInfo(path).strings[L"ProductVersion"], PackageVersion());
  }
  ExpectOneProduct(PackageVersion());
  ExpectRegisteredAndRunning();
  ExpectRelays(L"installed");
  EXPECT_FALSE(ReadParameter(L"AllowedPrograms").found) << "no property, no value";

  unique_handle process = ServiceProcess();
  ASSERT_TRUE(process);
  ExpectSucceeded(Msiexec(L"/x " + Quoted(PackagePath())));
  EXPECT_FALSE(OpenVelotarn()) << "svVelotarn is still registered";
  EXPECT_TRUE(Ended(process)) << "the service's process outlived the uninstallation";
  EXPECT_TRUE(ServiceProcesses().empty());
  EXPECT_FALSE(FileExists(InstallDir())) << WideToUtf8(InstallDir()) << " is still there";
  EXPECT_TRUE(InstalledProducts().empty());
}

TEST_F(Package, RepairAndUpgradeKeepOneRunningRegistrationAndItsParameters) {
  ASSERT_FALSE(NextPackagePath().empty());
  ExpectSucceeded(Msiexec(L"/i " + Quoted(PackagePath()) + L" LOGREQUESTS=1"));

  // The same package again repairs it; a newer version replaces it. Either way: one product,
  // the same registration and Parameters, the service stopped and started again.
  struct Step {
    const char* what;
    std::wstring package, version, word;
  };
  for (const Step& step : {Step{"the repair", PackagePath(), PackageVersion(), L"repaired"},
                           Step{"the upgrade", NextPackagePath(), NextPackageVersion(),
                                L"upgraded"}}) {
    SCOPED_TRACE(step.what);
    unique_handle before = ServiceProcess();
    ASSERT_TRUE(before);
    ExpectSucceeded(Msiexec(L"/i " + Quoted(step.package)));
    ExpectOneProduct(step.version);
    ExpectRegisteredAndRunning();
    EXPECT_TRUE(Ended(before)) << step.what << " did not restart the service";
    ExpectRelays(step.word);
    TRegistryValue log_requests = ReadParameter(L"LogRequests");
    EXPECT_TRUE(log_requests.found) << step.what << " lost the service's Parameters";
    EXPECT_EQ(log_requests.number, 1u);
  }
}

TEST_F(Package, AnOlderVersionIsRefusedOverANewerOne) {
  ASSERT_FALSE(NextPackagePath().empty());
  ExpectSucceeded(Msiexec(L"/i " + Quoted(NextPackagePath())));
  // Wine's log leaves out the launch condition's message ("A newer version of ... is already
  // installed."): the outcome is what counts.
  ExpectFailed(Msiexec(L"/i " + Quoted(PackagePath())));
  ExpectOneProduct(NextPackageVersion());
  ExpectRegisteredAndRunning();
}

TEST_F(Package, PolicyPropertiesBecomeTheServiceParameters) {
  ExpectSucceeded(Msiexec(L"/i " + Quoted(PackagePath()) +
                          L" ALLOWEDCLIENTS=\" S-1-5-32-544 ;NT AUTHORITY\\SYSTEM;;\""
                          L" ALLOWEDPROGRAMS=\"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe;"
                          L"D:\\tools\\openvpn.exe\" LOGREQUESTS=0"));
  ExpectRegisteredAndRunning();
  TRegistryValue clients = ReadParameter(L"AllowedClients");
  EXPECT_EQ(clients.type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(clients.strings, List({L"S-1-5-32-544", L"NT AUTHORITY\\SYSTEM"}));
  TRegistryValue programs = ReadParameter(L"AllowedPrograms");
  EXPECT_EQ(programs.type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(programs.strings,
            List({L"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe", L"D:\\tools\\openvpn.exe"}));
  TRegistryValue log_requests = ReadParameter(L"LogRequests");
  EXPECT_EQ(log_requests.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(log_requests.number, 0u);

  // Installing again with one property changes that value only, and restarts the service so
  // that it reads it.
  unique_handle before = ServiceProcess();
  ExpectSucceeded(Msiexec(L"/i " + Quoted(PackagePath()) + L" ALLOWEDPROGRAMS=C:\\vpn\\a.exe"));
  ExpectRegisteredAndRunning();
  EXPECT_TRUE(Ended(before)) << "the service still runs with the values it read before";
  EXPECT_EQ(ReadParameter(L"AllowedPrograms").strings, List({L"C:\\vpn\\a.exe"}));
  EXPECT_EQ(ReadParameter(L"AllowedClients").strings, clients.strings);
  EXPECT_TRUE(ReadParameter(L"LogRequests").found);
}

// The service enforces AllowedPrograms (the access policy): a "connect" of any other program
// gets one end marker and nothing else.
TEST_F(Package, WithAllowedProgramsARunOfAnotherProgramIsRefused) {
  ExpectSucceeded(Msiexec(L"/i " + Quoted(PackagePath()) +
                          L" ALLOWEDPROGRAMS=\"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe\""));
  EXPECT_EQ(ReadParameter(L"AllowedPrograms").strings,
            List({L"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe"}));
  ExpectRegisteredAndRunning();

  TRecordClient client(kOvpnPipeName, PlainWait);
  ASSERT_TRUE(client.Connected()) << "nothing serves the pipe: " << GetLastError();
  ASSERT_TRUE(client.Send(ConnectRequest(L"cmd.exe /c echo not allowed", L"C:\\windows")));
  ASSERT_TRUE(client.WaitEndMarkers(1, 30000)) << "no end marker came";
  // A run that went ahead would print its line and a second marker within this time.
  EXPECT_FALSE(client.WaitFor([](const TRecordClient& c) { return c.Messages().size() > 1; },
                              5000));
  std::string texts;
  for (const std::string& text : client.Texts()) texts += "[" + Printable(text) + "]";
  EXPECT_EQ(client.Messages().size(), 1u) << texts;
  EXPECT_EQ(client.EndMarkers(), 1u);
}

TEST_F(Package, AFailedInstallationLeavesNothingBehind) {
  // The value is refused after the registration has been made: the installation rolls back.
  ExpectFailed(Msiexec(L"/i " + Quoted(PackagePath()) + L" LOGREQUESTS=yes"),
               "LOGREQUESTS must be 0 or 1, not \"yes\"");
  EXPECT_FALSE(OpenVelotarn()) << "the rollback left svVelotarn registered";
  EXPECT_FALSE(FileExists(InstallDir())) << WideToUtf8(InstallDir()) << " is still there";
  EXPECT_TRUE(InstalledProducts().empty());
  EXPECT_TRUE(ServiceProcesses().empty());
}

// An administrator who registered the program by hand installs the package: the package's
// program takes the registration over.
TEST_F(Package, ARegistrationOfTheProgramByHandIsTakenOver) {
  if (ServicePath().empty()) GTEST_SKIP() << "velotarnsvc.exe is not built";
  ASSERT_EQ(RunProgram(ServicePath(), L"/install /silent").exit_code, 0);
  unique_handle by_hand;
  {
    unique_schandle service = OpenVelotarn();
    ASSERT_TRUE(service);
    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
    by_hand = ServiceProcess();
  }  // an open handle would keep a removed registration "marked for deletion"
  ASSERT_TRUE(by_hand);

  ExpectSucceeded(Msiexec(L"/i " + Quoted(PackagePath())));
  ExpectRegisteredAndRunning();
  EXPECT_TRUE(Ended(by_hand)) << "the program registered by hand still runs";
  ExpectRelays(L"taken over");
}

}  // namespace
