// The access policy against the real registry (a key of the test's own under HKCU, read as the
// service reads its Parameters key), real pipes and real children: who may connect and send
// requests, which programs "connect" may start, and the log entries of refusals, failed starts
// and audited requests.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <vector>

#include "control/access_policy.h"
#include "control/command_program.h"
#include "control/ovpn_control.h"
#include "control_test_support.h"
#include "names_and_counts.h"
#include "pipes/pipe_server.h"
#include "record_client.h"
#include "runtime/application.h"
#include "runtime/handles.h"
#include "runtime/text.h"
#include "test_support.h"

namespace velotarn::test {
namespace {

using Texts = std::vector<std::string>;

// A registry key of the test's own, removed with everything in it when the test ends.
class TTestKey {
 public:
  TTestKey() : FPath(L"Software\\VelotarnTest\\" + UniqueName(L"policy")) {
    HKEY raw = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, FPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw,
                    nullptr);
    FKey.reset(raw);
  }
  ~TTestKey() {
    FKey.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, FPath.c_str());
  }
  TPolicyKey Key() const { return {HKEY_CURRENT_USER, FPath}; }

  void SetList(const wchar_t* name, const std::vector<std::wstring>& items) {
    std::wstring data;
    for (const std::wstring& item : items) data += item + L'\0';
    data += L'\0';
    Set(name, REG_MULTI_SZ, data.data(), data.size() * sizeof(wchar_t));
  }
  void SetText(const wchar_t* name, const std::wstring& text) {
    Set(name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  }
  void SetNumber(const wchar_t* name, DWORD value) { Set(name, REG_DWORD, &value, sizeof(value)); }

 private:
  void Set(const wchar_t* name, DWORD type, const void* data, size_t size) {
    ASSERT_EQ(RegSetValueExW(FKey.get(), name, 0, type, static_cast<const BYTE*>(data),
                             static_cast<DWORD>(size)),
              ERROR_SUCCESS);
  }
  std::wstring FPath;
  unique_hkey FKey;
};

// A directory of the test's own beside the test program, removed with its files at the end.
class TTestDir {
 public:
  TTestDir() : FPath(SelfDir() + L"\\" + UniqueName(L"programs")) { Make(L""); }
  ~TTestDir() {
    for (auto it = FFiles.rbegin(); it != FFiles.rend(); ++it) DeleteFileW(it->c_str());
    for (auto it = FDirs.rbegin(); it != FDirs.rend(); ++it) RemoveDirectoryW(it->c_str());
  }
  const std::wstring& Path() const { return FPath; }
  std::wstring Make(const std::wstring& sub) {
    std::wstring dir = sub.empty() ? FPath : FPath + L"\\" + sub;
    CreateDirectoryW(dir.c_str(), nullptr);
    FDirs.push_back(dir);
    return dir;
  }
  // A copy of the child program as `name` inside the directory.
  std::wstring CopyChild(const std::wstring& name) {
    std::wstring path = FPath + L"\\" + name;
    EXPECT_TRUE(CopyFileW(ChildPath().c_str(), path.c_str(), FALSE)) << WideToUtf8(path);
    FFiles.push_back(path);
    return path;
  }

 private:
  std::wstring FPath;
  std::vector<std::wstring> FDirs;
  std::vector<std::wstring> FFiles;
};

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

// Whether an SDDL access list gives the client rights (read, write, synchronize, no new
// instances) to the SID, written as its alias or as its string.
bool HasClientAce(const std::wstring& sddl, const std::wstring& alias, const std::wstring& sid) {
  return sddl.find(L"(A;;0x12019b;;;" + alias + L")") != std::wstring::npos ||
         sddl.find(L"(A;;0x12019b;;;" + sid + L")") != std::wstring::npos;
}

// The control module on a pipe of its own under the policy of a test key, with its log
// entries collected.
class AccessPolicy : public testing::Test {
 protected:
  void SetUp() override {
    Application->OnException = [this](TObject*, const Exception& e) {
      errors_.push_back(e.Message());
    };
    Application->OnInformation = [this](TObject*, const std::wstring& text) {
      information_.push_back(text);
    };
  }
  void TearDown() override {
    module_.reset();
    Application->OnException = nullptr;
    Application->OnInformation = nullptr;
  }

  // The module reads the settings now, as the service's does when it starts.
  void StartModule() {
    module_ = std::make_unique<TdmOvpnControl>(nullptr, pipe_, key_.Key());
  }

  // A client that has connected and whose connection the module has seen.
  std::unique_ptr<TRecordClient> Connect() {
    TPipeServer* server = module_->PipeServer1;
    const int before = server->ClientCount();
    auto client = std::make_unique<TRecordClient>(pipe_);
    EXPECT_TRUE(client->Connected()) << "no connection to the module's pipe";
    EXPECT_TRUE(PumpUntil([&] { return server->ClientCount() > before || client->Broken(); }))
        << "the module did not see the client connect";
    return client;
  }

  // The access list of the module's pipe as SDDL, read through a connection of our own.
  std::wstring PipeSddl() {
    const std::wstring path = L"\\\\.\\pipe\\" + pipe_;
    // The listener makes its instances on its own thread: wait until one is there.
    unique_handle pipe;
    PumpUntil([&] {
      pipe.reset(CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr));
      return static_cast<bool>(pipe);
    });
    EXPECT_TRUE(pipe) << "the pipe cannot be opened: " << GetLastError();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!pipe || GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
      return L"";
    unique_hlocal descriptor_owner(descriptor);
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
      return L"";
    unique_hlocal text_owner(text);
    return text;
  }

  bool WaitError(size_t count) {
    return PumpUntil([&] { return errors_.size() >= count; }, 20000);
  }

  // "Refused a request from process <ours> (...): <request>: <reason>"
  static bool IsRefusal(const std::wstring& entry, const std::wstring& request,
                        const std::wstring& reason) {
    const std::wstring head =
        L"Refused a request from process " + std::to_wstring(GetCurrentProcessId()) + L" (";
    const std::wstring tail = L"): " + request + L": " + reason;
    return entry.rfind(head, 0) == 0 && entry.size() > head.size() + tail.size() &&
           entry.compare(entry.size() - tail.size(), tail.size(), tail) == 0;
  }

  const std::wstring pipe_ = UniqueName(L"policy");
  TTestKey key_;
  std::unique_ptr<TdmOvpnControl> module_;
  std::vector<std::wstring> errors_;
  std::vector<std::wstring> information_;
};

TEST(CommandProgram, ReadsTheFirstArgumentAsProcessCreationDoes) {
  EXPECT_EQ(CommandProgram(L"\"C:\\Program Files\\x\\a.exe\" --config b"),
            L"C:\\Program Files\\x\\a.exe");
  EXPECT_EQ(CommandProgram(L"C:\\Program Files\\x\\a.exe --config b"), L"C:\\Program.exe");
  EXPECT_EQ(CommandProgram(L" \tC:\\bin\\openvpn\t--x"), L"C:\\bin\\openvpn.exe");
  EXPECT_EQ(CommandProgram(L"C:\\dir.d\\prog"), L"C:\\dir.d\\prog.exe");
  EXPECT_EQ(CommandProgram(L"C:/dir/prog.com"), L"C:/dir/prog.com");
  EXPECT_EQ(CommandProgram(L"\"C:\\never closed"), L"C:\\never closed.exe");
  EXPECT_EQ(CommandProgram(L"  "), L"");
  EXPECT_TRUE(IsFullPath(L"C:\\a.exe"));
  EXPECT_TRUE(IsFullPath(L"c:/a.exe"));
  EXPECT_TRUE(IsFullPath(L"\\\\server\\share\\a.exe"));
  for (const wchar_t* relative : {L"a.exe", L"bin\\a.exe", L"C:a.exe", L"\\a.exe",
                                  L"\\\\.\\pipe\\x", L"\\\\?\\C:\\a.exe", L"//./pipe/x"})
    EXPECT_FALSE(IsFullPath(relative)) << WideToUtf8(relative);
}

TEST_F(AccessPolicy, WithoutSettingsEveryoneIsServedAndNothingIsLogged) {
  StartModule();
  const std::wstring sddl = PipeSddl();
  EXPECT_NE(sddl.find(L";;;WD)"), std::wstring::npos) << WideToUtf8(sddl);
  auto client = Connect();
  ASSERT_TRUE(client->Send(ConnectRequest(ChildCommand({L"out:ok\\r"}), SelfDir())));
  ASSERT_TRUE(client->WaitEndMarkers(2));
  EXPECT_EQ(client->Texts(), (Texts{"ok\r", "#END#", "#END#"}));
  EXPECT_EQ(errors_, std::vector<std::wstring>{});
  EXPECT_EQ(information_, std::vector<std::wstring>{});
}

TEST_F(AccessPolicy, AllowedClientsNarrowThePipeAndRefuseOthers) {
  // The test's account is in Users but not in Remote Desktop Users (S-1-5-32-555).
  key_.SetList(L"AllowedClients", {L"S-1-5-32-555", L"NoSuchDomain\\nobody"});
  StartModule();
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0],
            L"The AllowedClients entry \"NoSuchDomain\\nobody\" names no account or group: it is "
            L"skipped");

  // The connection is ended at once: the client never reads anything, and its next read fails
  // instead of waiting.
  TGate started;
  auto client = Connect();
  client->Send(ConnectRequest(ChildCommand({L"signal:" + started.Name()}), SelfDir()));
  ASSERT_TRUE(client->WaitFor([](const TRecordClient& c) { return c.Broken(); }))
      << "the connection of a client that is not allowed was not ended";
  EXPECT_TRUE(client->BreakError() == ERROR_PIPE_NOT_CONNECTED ||
              client->BreakError() == ERROR_BROKEN_PIPE)
      << client->BreakError();
  EXPECT_EQ(client->Messages().size(), 0u);
  ASSERT_TRUE(WaitError(2));
  const std::wstring head =
      L"Refused a connection from process " + std::to_wstring(GetCurrentProcessId()) + L" (";
  EXPECT_EQ(errors_[1].rfind(head, 0), 0u) << WideToUtf8(errors_[1]);
  EXPECT_NE(errors_[1].find(L"): the account is not among AllowedClients"), std::wstring::npos)
      << WideToUtf8(errors_[1]);
  EXPECT_EQ(module_->ReturnPipe(), 0u) << "a refused client became the one to answer";
  // If its request got through before the end, it was refused as well: nothing started.
  PumpFor(0);
  for (size_t i = 2; i < errors_.size(); ++i)
    EXPECT_EQ(errors_[i].rfind(L"Refused a request from ", 0), 0u) << WideToUtf8(errors_[i]);
  EXPECT_FALSE(started.IsSignalled()) << "a refused request started its program";

  const std::wstring sddl = PipeSddl();
  EXPECT_EQ(sddl.find(L";;;WD)"), std::wstring::npos) << "Everyone may still open the pipe";
  EXPECT_TRUE(HasClientAce(sddl, L"RD", L"S-1-5-32-555")) << WideToUtf8(sddl);
  EXPECT_NE(sddl.find(L"(D;;FA;;;AN)"), std::wstring::npos) << WideToUtf8(sddl);
}

TEST_F(AccessPolicy, AListedGroupIsServed) {
  key_.SetList(L"AllowedClients", {L"BUILTIN\\Users"});
  StartModule();
  const std::wstring sddl = PipeSddl();
  EXPECT_TRUE(HasClientAce(sddl, L"BU", L"S-1-5-32-545")) << WideToUtf8(sddl);
  auto client = Connect();
  ASSERT_TRUE(client->Send(ConnectRequest(ChildCommand({L"out:ok\\r"}), SelfDir())));
  ASSERT_TRUE(client->WaitEndMarkers(2));
  EXPECT_EQ(client->Texts(), (Texts{"ok\r", "#END#", "#END#"}));
  EXPECT_EQ(errors_, std::vector<std::wstring>{});
}

TEST_F(AccessPolicy, UnusableSettingsFailClosed) {
  key_.SetList(L"AllowedClients", {L"NoSuchDomain\\nobody", L"S-1-nonsense"});
  key_.SetText(L"AllowedPrograms", ChildPath());
  key_.SetText(L"LogRequests", L"1");
  StartModule();
  EXPECT_EQ(errors_, (std::vector<std::wstring>{
                         L"The AllowedClients entry \"NoSuchDomain\\nobody\" names no account or "
                         L"group: it is skipped",
                         L"The AllowedClients entry \"S-1-nonsense\" names no account or group: it "
                         L"is skipped",
                         L"The setting AllowedClients names no usable account or group: only "
                         L"SYSTEM may send requests",
                         L"The setting AllowedPrograms is not a list of strings (REG_MULTI_SZ): "
                         L"every \"connect\" is refused",
                         L"The setting LogRequests is not a number (REG_DWORD): every request is "
                         L"logged"}));
  // Nobody but the full-control accounts may open the pipe.
  const std::wstring sddl = PipeSddl();
  EXPECT_EQ(sddl.find(L";;;WD)"), std::wstring::npos) << WideToUtf8(sddl);
  EXPECT_EQ(sddl.find(L"0x12019b"), std::wstring::npos) << WideToUtf8(sddl);
  auto client = Connect();
  EXPECT_TRUE(client->WaitFor([](const TRecordClient& c) { return c.Broken(); }));
}

TEST_F(AccessPolicy, AnEmptyProgramListRefusesEveryConnect) {
  key_.SetList(L"AllowedPrograms", {});
  StartModule();
  ASSERT_EQ(errors_, std::vector<std::wstring>{
                         L"The setting AllowedPrograms lists no program: every \"connect\" is "
                         L"refused"});
  auto client = Connect();
  ASSERT_TRUE(client->Send(ConnectRequest(ChildCommand({L"out:no\\r"}), SelfDir())));
  ASSERT_TRUE(client->WaitEndMarkers(1));
  ASSERT_TRUE(WaitError(2));
  EXPECT_TRUE(IsRefusal(errors_[1], L"connect " + ChildPath(),
                        L"no program is allowed (AllowedPrograms is unusable)"))
      << WideToUtf8(errors_[1]);
}

// Every way of naming the allowed file is the allowed file; everything else is refused with
// one end marker, nothing started, and an entry that says why.
TEST_F(AccessPolicy, AllowedProgramsCompareFilesNotStrings) {
  TTestDir dir;
  dir.Make(L"sub dir");
  dir.Make(L"folder.exe");
  const std::wstring allowed = dir.CopyChild(L"sub dir\\prog.exe");
  const std::wstring decoy = dir.CopyChild(L"sub.exe");  // what an unquoted path runs first
  const std::wstring copy = dir.CopyChild(L"copy.exe");
  key_.SetList(L"AllowedPrograms", {allowed, L"C:\\no\\such\\program.exe"});
  StartModule();
  ASSERT_EQ(errors_, std::vector<std::wstring>{});

  std::wstring upper = allowed;
  CharUpperW(upper.data());
  std::wstring slashes = allowed;
  for (wchar_t& c : slashes)
    if (c == L'\\') c = L'/';
  std::vector<std::wstring> served = {
      Quoted(allowed),
      Quoted(upper),
      Quoted(dir.Path() + L"\\sub dir\\..\\sub dir\\.\\prog.exe"),
      Quoted(slashes),
      Quoted(dir.Path() + L"\\sub dir\\prog"),
      Quoted(allowed + L"."),
  };
  wchar_t short_path[MAX_PATH];
  const DWORD short_length = GetShortPathNameW(allowed.c_str(), short_path, MAX_PATH);
  if (short_length > 0 && short_length < MAX_PATH && allowed != short_path)
    served.push_back(short_path);  // no blank in it: unquoted
  struct Refused {
    std::wstring program;  // as the command line names it
    std::wstring command;
    std::wstring reason;
  };
  const std::vector<Refused> refused = {
      {L"C:\\windows\\system32\\cmd.exe", L"C:\\windows\\system32\\cmd.exe /c echo x",
       L"the program is not among AllowedPrograms"},
      {copy, Quoted(copy), L"the program is not among AllowedPrograms"},
      {dir.Path() + L"\\folder.exe", Quoted(dir.Path() + L"\\folder.exe"),
       L"the program is a directory"},
      {dir.Path() + L"\\missing.exe", Quoted(dir.Path() + L"\\missing.exe"),
       L"the program cannot be opened ("},
      {decoy, allowed, L"the program is not among AllowedPrograms"},  // unquoted, with a blank
      {L"prog.exe", L"prog.exe", L"the program is not given as a full path"},
  };

  auto client = Connect();
  size_t markers = 0;
  for (const std::wstring& program : served) {
    SCOPED_TRACE(WideToUtf8(program));
    const std::wstring command = program + L" out:ran\\r";
    ASSERT_TRUE(client->Send(ConnectRequest(command, SelfDir())));
    markers += 2;
    ASSERT_TRUE(client->WaitEndMarkers(markers)) << "the allowed program's run did not end";
    EXPECT_EQ(client->Texts()[client->Texts().size() - 3], "ran\r");
  }
  EXPECT_EQ(errors_, std::vector<std::wstring>{});
  for (const Refused& one : refused) {
    SCOPED_TRACE(WideToUtf8(one.command));
    const size_t messages = client->Messages().size();
    const size_t logged = errors_.size();
    ASSERT_TRUE(client->Send(ConnectRequest(one.command + L" out:ran\\r", SelfDir())));
    ASSERT_TRUE(client->WaitEndMarkers(++markers));
    ASSERT_TRUE(WaitError(logged + 1));
    EXPECT_EQ(client->Messages().size(), messages + 1) << "more than the one end marker";
    const std::wstring& entry = errors_[logged];
    const std::wstring head = L"): connect " + one.program + L": " + one.reason;
    EXPECT_NE(entry.find(head), std::wstring::npos) << WideToUtf8(entry);
    EXPECT_TRUE(one.reason.back() == L'(' || IsRefusal(entry, L"connect " + one.program, one.reason))
        << WideToUtf8(entry);
  }
}

TEST_F(AccessPolicy, LogRequestsRecordsEveryServedRequest) {
  key_.SetNumber(L"LogRequests", 1);
  StartModule();
  auto client = Connect();
  const std::wstring command = ChildCommand({L"out:ok\\r"});
  ASSERT_TRUE(client->Send(ConnectRequest(command, SelfDir())));
  ASSERT_TRUE(client->WaitEndMarkers(2));
  ASSERT_TRUE(client->Send("disconnect"));
  ASSERT_TRUE(PumpUntil([&] { return information_.size() >= 2; }));
  const std::wstring who =
      L"Request from process " + std::to_wstring(GetCurrentProcessId()) + L" (";
  ASSERT_EQ(information_.size(), 2u);
  EXPECT_EQ(information_[0].rfind(who, 0), 0u) << WideToUtf8(information_[0]);
  const std::wstring connect = L"): connect " + command + L" in \"" + SelfDir() + L"\"";
  EXPECT_EQ(information_[0].substr(information_[0].size() - connect.size()), connect)
      << WideToUtf8(information_[0]);
  EXPECT_EQ(information_[1].rfind(who, 0), 0u);
  EXPECT_EQ(information_[1].substr(information_[1].size() - 13), L"): disconnect");
  EXPECT_EQ(errors_, std::vector<std::wstring>{});
}

TEST_F(AccessPolicy, LogRequestsZeroRecordsNothing) {
  key_.SetNumber(L"LogRequests", 0);
  StartModule();
  auto client = Connect();
  ASSERT_TRUE(client->Send(ConnectRequest(ChildCommand({L"out:ok\\r"}), SelfDir())));
  ASSERT_TRUE(client->WaitEndMarkers(2));
  EXPECT_EQ(information_, std::vector<std::wstring>{});
}

}  // namespace
}  // namespace velotarn::test
