// The process terminator against real processes: copies of our child program under the names
// the rules are about, all waiting until they are ended.
#include <gtest/gtest.h>

#include <vector>

#include "control/process_terminator.h"
#include "control_test_support.h"
#include "test_support.h"

namespace velotarn::test {
namespace {

// A folder of its own holding copies of the child program under chosen names; removed with
// its files when the test is over (after the processes, which are declared later, have gone).
class TChildCopies {
 public:
  TChildCopies() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    FDir = std::wstring(temp) + UniqueName(L"names");
    CreateDirectoryW(FDir.c_str(), nullptr);
  }
  ~TChildCopies() {
    for (const std::wstring& file : FFiles) DeleteFileW(file.c_str());
    RemoveDirectoryW(FDir.c_str());
  }
  // Starts a copy named `name` that never ends.
  TChildProcess Start(const std::wstring& name) {
    std::wstring path = FDir + L"\\" + name;
    if (CopyFileW(ChildPath().c_str(), path.c_str(), TRUE)) FFiles.push_back(path);
    TChildProcess child = TChildProcess::Start(L"\"" + path + L"\" hang");
    EXPECT_TRUE(child.Running()) << "could not start " << testing::PrintToString(name);
    return child;
  }

 private:
  std::wstring FDir;
  std::vector<std::wstring> FFiles;
};

TEST(KillProcessByName, EndsEveryMatchingProcessWithExitCodeZero) {
  TChildCopies copies;
  TChildProcess first = TChildProcess::Start(ChildCommand({L"hang"}, true));
  TChildProcess second = TChildProcess::Start(ChildCommand({L"hang"}, true));
  TChildProcess other = TChildProcess::Start(ChildCommand({L"hang"}));
  ASSERT_TRUE(first.Running() && second.Running() && other.Running());

  EXPECT_TRUE(KillProcessByName(L"openvpn.exe"));
  EXPECT_EQ(first.WaitExit(), 0);
  EXPECT_EQ(second.WaitExit(), 0);
  EXPECT_TRUE(other.Running()) << "ovpn_child.exe is not openvpn.exe";
}

TEST(KillProcessByName, LetterCaseAndExactLength) {
  TChildCopies copies;
  TChildProcess capitals = copies.Start(L"OPENVPN.EXE");
  TChildProcess mixed = copies.Start(L"OpenVpn.Exe");
  TChildProcess longer_ext = copies.Start(L"openvpn.exe.exe");
  TChildProcess prefixed = copies.Start(L"myopenvpn.exe");

  EXPECT_TRUE(KillProcessByName(L"openvpn.exe"));
  EXPECT_EQ(capitals.WaitExit(), 0);
  EXPECT_EQ(mixed.WaitExit(), 0);
  EXPECT_TRUE(longer_ext.Running());
  EXPECT_TRUE(prefixed.Running());
}

TEST(KillProcessByName, OnlyAsciiLettersIgnoreCase) {
  TChildCopies copies;
  TChildProcess umlaut = copies.Start(L"vpn\u00e4.exe");
  // Ä is not ä: nothing matches, nothing ends, the result is False.
  EXPECT_FALSE(KillProcessByName(L"VPN\u00c4.EXE"));
  EXPECT_TRUE(umlaut.Running());
  // Upper-casing the ASCII letters only: a match.
  EXPECT_TRUE(KillProcessByName(L"VPN\u00e4.EXE"));
  EXPECT_EQ(umlaut.WaitExit(), 0);
}

TEST(KillProcessByName, NoMatchIsFalse) {
  TChildProcess other = TChildProcess::Start(ChildCommand({L"hang"}));
  EXPECT_FALSE(KillProcessByName(L"velotarn-nothing-by-this-name.exe"));
  EXPECT_TRUE(other.Running());
}

// Between the snapshot and the open, a listed openvpn.exe may end and its id go to a new
// process: the opened process is checked by its image once more before it is ended.
TEST(KillProcessByName, TheOpenedProcessIsCheckedByItsImageName) {
  TChildCopies copies;
  TChildProcess vpn = copies.Start(L"OpenVPN.exe");
  TChildProcess other = copies.Start(L"other.exe");
  ASSERT_TRUE(vpn.Running() && other.Running());
  unique_handle vpn_handle(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetProcessId(vpn.Get())));
  unique_handle other_handle(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetProcessId(other.Get())));
  ASSERT_TRUE(vpn_handle && other_handle);
  EXPECT_TRUE(ProcessImageMatches(vpn_handle.get(), L"openvpn.exe"));
  EXPECT_FALSE(ProcessImageMatches(other_handle.get(), L"openvpn.exe"));
  EXPECT_FALSE(ProcessImageMatches(vpn_handle.get(), L"VPN.exe")) << "only the whole name matches";
  EXPECT_FALSE(ProcessImageMatches(nullptr, L"openvpn.exe"));
}

}  // namespace
}  // namespace velotarn::test
