// velotarnctl.exe end to end: the control module hosted by the test's main thread on a pipe
// name of its own, velotarnctl as a child process whose output is read as it is written.
#include <gtest/gtest.h>

#include <memory>

#include "control/ovpn_control.h"
#include "runtime/application.h"
#include "runtime/text.h"
#include "control_test_support.h"
#include "ctl_process.h"
#include "runtime/text.h"
#include "test_support.h"
#include "velotarn_version.h"
#include "version_info.h"

namespace velotarn::test {
namespace {

class Velotarnctl : public testing::Test {
 protected:
  void SetUp() override {
    Application->OnException = [this](TObject*, const Exception& e) {
      logged_.push_back(e.Message());
    };
    module_ = std::make_unique<TdmOvpnControl>(nullptr, pipe_);
  }
  void TearDown() override {
    module_.reset();
    Application->OnException = nullptr;
  }

  std::vector<std::wstring> Connect(const std::wstring& command_line,
                                    const std::wstring& directory) {
    return {L"--pipe", pipe_, L"connect", command_line, directory};
  }

  const std::wstring pipe_ = UniqueName(L"ctl");
  std::unique_ptr<TdmOvpnControl> module_;
  std::vector<std::wstring> logged_;  // the module's error entries
};

TEST_F(Velotarnctl, ConnectShowsLinesAsTheyAreWrittenAndEndsAfterTwoMarkers) {
  TGate go_on;
  TCtlProcess ctl(Connect(
      ChildCommand({L"out:first\\r\\n", L"gate:" + go_on.Name(), L"out:second \\\"q\\\"\\r\\n"}),
      SelfDir()));
  ASSERT_TRUE(ctl.Started());
  ASSERT_TRUE(ctl.WaitOutput("first")) << "the first line was not shown while the child waited";
  EXPECT_EQ(ctl.Output(), "first\r");
  go_on.Open();
  EXPECT_EQ(ctl.WaitExit(), 0) << ctl.Errors();
  EXPECT_EQ(ctl.Output(), "first\r\nsecond \"q\"\r\n#END#\r\n#END#\r\n");
  EXPECT_EQ(ctl.Errors(), "");
}

TEST_F(Velotarnctl, ConnectRunsWineCmd) {
  TCtlProcess ctl(Connect(L"cmd.exe /c \"echo a & ping -n 2 127.0.0.1 >nul & echo b\"", L"C:\\"));
  ASSERT_TRUE(ctl.WaitOutput("a \r")) << "cmd.exe's first line did not arrive";
  EXPECT_EQ(ctl.WaitExit(), 0) << ctl.Errors();
  EXPECT_EQ(ctl.Output(), "a \r\nb\r\n#END#\r\n#END#\r\n");
}

TEST_F(Velotarnctl, ConnectWithAProgramThatCannotStartShowsOneMarkerAndSaysSo) {
  // One end marker only: no second follows, and velotarnctl gives up after a few seconds
  // instead of waiting for ever. The service's log names the command and the system's reason.
  const std::wstring missing = SelfDir() + L"\\no-such-program.exe";
  TCtlProcess ctl({L"--pipe", pipe_, L"connect", missing, SelfDir()});
  ASSERT_TRUE(ctl.WaitOutput("#END#"));
  EXPECT_EQ(ctl.WaitExit(), 6);
  EXPECT_EQ(ctl.Output(), "#END#\r\n");
  EXPECT_NE(ctl.Errors().find("no second end marker within 5 s: the program may not have started"),
            std::string::npos)
      << ctl.Errors();
  ASSERT_EQ(logged_.size(), 1u);
  EXPECT_EQ(logged_[0].rfind(L"unable to execute command " + missing + L": ", 0), 0u)
      << WideToUtf8(logged_[0]);
  EXPECT_GT(logged_[0].size(), (L"unable to execute command " + missing + L": ").size())
      << "the system's reason is missing";
}

TEST_F(Velotarnctl, TheTimeoutBoundsAWholeRun) {
  TCtlProcess ctl({L"--pipe", pipe_, L"--timeout", L"2", L"connect",
                   ChildCommand({L"out:first\\r\\n", L"hang"}), SelfDir()});
  ASSERT_TRUE(ctl.WaitOutput("first"));
  EXPECT_EQ(ctl.WaitExit(), 4);
  EXPECT_NE(ctl.Errors().find("no end after 2 s"), std::string::npos) << ctl.Errors();
}

// The first Ctrl+C sends "disconnect" on the same connection and the run's end still arrives
// there; a second one, while a program that "disconnect" does not end goes on, leaves at once.
TEST_F(Velotarnctl, CtrlCDuringConnectSendsDisconnectAndASecondOneLeaves) {
  TCtlProcess ended(Connect(ChildCommand({L"out:first\\r\\n", L"hang"}, true), SelfDir()), true);
  ASSERT_TRUE(ended.WaitOutput("first"));
  ASSERT_TRUE(ended.SendCtrlC()) << "the helper could not generate Ctrl+C";
  EXPECT_EQ(ended.WaitExit(), 7) << ended.Errors();
  EXPECT_EQ(ended.Output(), "first\r\n#END#\r\n#END#\r\n");
  EXPECT_EQ(ended.Errors(), "velotarnctl: interrupted: disconnect sent\r\n");

  TCtlProcess left(Connect(ChildCommand({L"out:up\\r\\n", L"hang"}), SelfDir()), true);
  ASSERT_TRUE(left.WaitOutput("up") && left.SendCtrlC());
  ASSERT_TRUE(PumpUntil([&] { return left.Errors().find("disconnect sent") != std::string::npos; },
                        20000)) << "the first Ctrl+C was not taken";
  ASSERT_TRUE(left.SendCtrlC());
  EXPECT_EQ(left.WaitExit(10000), 8) << "velotarnctl did not leave: " << left.Errors();
  EXPECT_EQ(left.Output(), "up\r");
  EXPECT_NE(left.Errors().find("interrupted again: left before the run had ended"),
            std::string::npos) << left.Errors();
}

TEST_F(Velotarnctl, DisconnectEndsOpenvpn) {
  TChildProcess openvpn = TChildProcess::Start(ChildCommand({L"hang"}, true));
  ASSERT_TRUE(openvpn.Running());
  TCtlProcess ctl({L"--pipe", pipe_, L"disconnect"});
  EXPECT_EQ(ctl.WaitExit(), 0) << ctl.Errors();
  EXPECT_EQ(ctl.Output(), "");
  // Exit code 0 is the terminator's.
  EXPECT_TRUE(PumpUntil([&] { return !openvpn.Running(); })) << "openvpn.exe was not ended";
  EXPECT_EQ(openvpn.WaitExit(0), 0);
}

TEST_F(Velotarnctl, NothingServesThePipe) {
  TCtlProcess ctl({L"--pipe", UniqueName(L"nobody"), L"disconnect"});
  EXPECT_EQ(ctl.WaitExit(), 2);
  EXPECT_NE(ctl.Errors().find("nothing serves \\\\.\\pipe\\velotarn-nobody"), std::string::npos)
      << ctl.Errors();
}

TEST_F(Velotarnctl, TheConnectionDrops) {
  TCtlProcess ctl(Connect(ChildCommand({L"out:up\\r", L"hang"}), SelfDir()));
  ASSERT_TRUE(ctl.WaitOutput("up"));
  module_.reset();  // the pipe server goes with the module
  EXPECT_EQ(ctl.WaitExit(), 3);
  EXPECT_NE(ctl.Errors().find("dropped"), std::string::npos) << ctl.Errors();
}

TEST_F(Velotarnctl, UsageAndHelp) {
  TCtlProcess none({});
  EXPECT_EQ(none.WaitExit(), 1);
  EXPECT_NE(none.Errors().find("a command is missing"), std::string::npos) << none.Errors();

  TCtlProcess short_connect({L"connect", L"cmd.exe"});
  EXPECT_EQ(short_connect.WaitExit(), 1);
  EXPECT_NE(short_connect.Errors().find("connect wants a command line and a directory"),
            std::string::npos);

  TCtlProcess bad_timeout({L"--timeout", L"soon", L"disconnect"});
  EXPECT_EQ(bad_timeout.WaitExit(), 1);

  TCtlProcess help({L"--help"});
  EXPECT_EQ(help.WaitExit(), 0);
  EXPECT_NE(help.Output().find("velotarnctl [options] connect"), std::string::npos);
  EXPECT_NE(help.Output().find("  6  connect: one end marker and no second"), std::string::npos)
      << help.Output();
}

// The version that velotarnctl prints is the project's, and both programs carry it in their
// version resource, as a file's properties show it.
TEST_F(Velotarnctl, VersionIsTheOneInTheResourcesOfBothPrograms) {
  const std::wstring version = AnsiToWide(VELOTARN_VERSION_TEXT);
  TCtlProcess ctl({L"--version"});
  EXPECT_EQ(ctl.WaitExit(), 0) << ctl.Errors();
  EXPECT_EQ(ctl.Output(), "velotarnctl " + WideToUtf8(version) + "\r\n");

  wchar_t service[MAX_PATH * 2] = {};
  GetFullPathNameW((SelfDir() + L"\\..\\..\\src\\service\\velotarnsvc.exe").c_str(),
                   MAX_PATH * 2, service, nullptr);
  for (const std::wstring& program : {SelfDir() + L"\\velotarnctl.exe", std::wstring(service)}) {
    SCOPED_TRACE(WideToUtf8(program));
    TVersionInfo info = ReadVersionInfo(program);
    ASSERT_TRUE(info.found) << "no version resource";
    EXPECT_EQ(info.file_version, version + L".0");
    EXPECT_EQ(info.product_version, version + L".0");
    EXPECT_EQ(info.file_type, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(info.strings[L"FileVersion"], version);
    EXPECT_EQ(info.strings[L"ProductVersion"], version);
    EXPECT_EQ(info.strings[L"ProductName"], L"Velotarn OpenVPN service");
    EXPECT_EQ(info.strings[L"CompanyName"], L"Velotarn project");
    EXPECT_EQ(info.strings[L"OriginalFilename"], ExtractFileName(program));
    EXPECT_FALSE(info.strings[L"FileDescription"].empty());
  }
}

}  // namespace
}  // namespace velotarn::test
