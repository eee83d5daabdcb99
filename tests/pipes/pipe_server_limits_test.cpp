// The pipe server at its limits: failing listeners, back-pressure, the security of its
// instances, handles that no child process may inherit, handle counts after a burst, and the
// notifications its window drops while it stops.
#include <gtest/gtest.h>
#include <aclapi.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "pipe_server_fixture.h"
#include "pipes/pipe_client.h"
#include "pipes/pipe_security.h"
#include "runtime/text.h"

namespace velotarn::test {
namespace {

VELOTARN_HELPER(hold_until_event) {
  // A child that inherited whatever it could; it lives until the test lets it go.
  if (argc < 3) return 2;
  unique_handle release(OpenEventW(SYNCHRONIZE, FALSE, argv[2]));
  if (!release) return 3;
  return WaitForSingleObject(release.get(), 30000) == WAIT_OBJECT_0 ? 0 : 4;
}

// Handle values of this process whose handles a child would inherit.
std::set<uintptr_t> InheritableHandles() {
  std::set<uintptr_t> found;
  for (uintptr_t value = 4; value < 0x20000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) &&
        (flags & HANDLE_FLAG_INHERIT))
      found.insert(value);
  }
  return found;
}

class PipeServerLimits : public PipeServerFixture {};

TEST_F(PipeServerLimits, FailingListenerBacksOffAndEndsWithDeactivation) {
  server_->SetActive(false);
  // Somebody else holds the name with room for one instance only: every create fails.
  std::wstring taken = UniqueName(L"taken");
  unique_handle squatter(CreateNamedPipeW(PipePath(taken).c_str(), PIPE_ACCESS_DUPLEX,
                                          PIPE_TYPE_MESSAGE, 1, 0, 0, 1000, nullptr));
  ASSERT_TRUE(squatter.valid());
  server_->SetPipeName(taken);
  server_->SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return errors_.size() >= 2; })) << "failures not reported";
  PumpFor(1500);
  // One report per attempt, but attempts pause in between: no flood of notifications.
  EXPECT_LE(errors_.size(), 20u);
  for (const PipeError& e : errors_) {
    EXPECT_EQ(e.context, pcListener);
    EXPECT_EQ(e.pipe, reinterpret_cast<HPIPE>(INVALID_HANDLE_VALUE));
    EXPECT_NE(e.code, 0);
  }
  server_->SetActive(false);
  size_t reported = errors_.size();
  squatter.reset();  // a listener still alive would now serve the name
  RawPipe late;
  EXPECT_FALSE(late.Open(taken, 500)) << "the listener outlived the deactivation";
  EXPECT_EQ(errors_.size(), reported);

  server_->SetActive(true);  // the name is free now
  RawPipe client;
  ASSERT_TRUE(client.Open(taken));
  ASSERT_TRUE(PumpUntil([&] { return connects_.size() == 1; }));
}

TEST_F(PipeServerLimits, At102ClientsNobodyElseGetsInUntilTheCountDropsTo99) {
  std::vector<std::unique_ptr<RawPipe>> clients;
  for (int i = 0; i < 102; ++i) {
    clients.push_back(std::make_unique<RawPipe>());
    ASSERT_TRUE(clients.back()->Open(name_, 20000)) << "client " << i + 1 << " refused";
  }
  ASSERT_TRUE(PumpUntil([&] { return server_->ClientCount() == 102; }, 20000))
      << server_->ClientCount() << " clients registered";
  RawPipe extra;
  EXPECT_FALSE(extra.Open(name_, 500)) << "a 103rd client got in";
  for (int left = 101; left >= 99; --left) {
    clients.back()->Close();
    clients.pop_back();
    ASSERT_TRUE(PumpUntil([&] { return server_->ClientCount() == left; }));
    if (left > 99) {
      EXPECT_FALSE(extra.Open(name_, 300)) << "got in with " << left << " clients";
    }
  }
  EXPECT_TRUE(extra.Open(name_, 5000)) << "still refused with 99 clients";
  ASSERT_TRUE(PumpUntil([&] { return server_->ClientCount() == 100; }));
  EXPECT_TRUE(errors_.empty());
}

// A listener paused by back-pressure still ends with the deactivation.
TEST_F(PipeServerLimits, DeactivationEndsAPausedListener) {
  server_->SetActive(false);
  const DWORD threads_before = ThreadCount();
  ASSERT_GT(threads_before, 0u);
  server_->SetActive(true);
  std::vector<std::unique_ptr<RawPipe>> clients;
  for (int i = 0; i < 102; ++i) {
    clients.push_back(std::make_unique<RawPipe>());
    ASSERT_TRUE(clients.back()->Open(name_, 20000)) << "client " << i + 1 << " refused";
  }
  ASSERT_TRUE(PumpUntil([&] { return server_->ClientCount() == 102; }, 20000));
  RawPipe extra;
  ASSERT_FALSE(extra.Open(name_, 300)) << "the listener did not pause";
  server_->SetActive(false);
  EXPECT_FALSE(server_->Active());
  EXPECT_EQ(server_->ClientCount(), 0);
  EXPECT_TRUE(PumpUntil([&] { return ThreadCount() <= threads_before; }))
      << ThreadCount() << " threads left, " << threads_before << " before";
  EXPECT_TRUE(disconnects_.empty());
  EXPECT_TRUE(errors_.empty());
}

TEST_F(PipeServerLimits, InstancesCarryARestrictedDacl) {
  RawPipe client;
  Connect(client);
  PSECURITY_DESCRIPTOR raw = nullptr;
  PACL dacl = nullptr;
  ASSERT_EQ(GetSecurityInfo(reinterpret_cast<HANDLE>(connects_[0]), SE_KERNEL_OBJECT,
                            DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &raw),
            static_cast<DWORD>(ERROR_SUCCESS));
  unique_hlocal descriptor(raw);
  ASSERT_NE(dacl, nullptr) << "null DACL: every account has full control";

  auto sid = [](WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> buffer(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(buffer.size());
    CreateWellKnownSid(type, nullptr, buffer.data(), &size);
    return buffer;
  };
  auto everyone = sid(WinWorldSid), anonymous = sid(WinAnonymousSid),
       system = sid(WinLocalSystemSid), admins = sid(WinBuiltinAdministratorsSid);
  bool anonymous_denied = false, system_full = false, admins_full = false, everyone_rw = false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&header)));
    // Allowed and denied ACEs share their layout: mask, then the SID.
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    PSID ace_sid = &ace->SidStart;
    bool allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
    bool deny = header->AceType == ACCESS_DENIED_ACE_TYPE;
    if (deny && EqualSid(ace_sid, anonymous.data())) anonymous_denied = true;
    if (allow && EqualSid(ace_sid, system.data()) && ace->Mask == FILE_ALL_ACCESS) system_full = true;
    if (allow && EqualSid(ace_sid, admins.data()) && ace->Mask == FILE_ALL_ACCESS) admins_full = true;
    if (allow && EqualSid(ace_sid, everyone.data())) {
      everyone_rw = (ace->Mask & (FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE)) ==
                    (FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE);
      EXPECT_EQ(ace->Mask & FILE_CREATE_PIPE_INSTANCE, 0u) << "anyone may create instances";
      EXPECT_EQ(ace->Mask & (WRITE_DAC | WRITE_OWNER), 0u) << "anyone may change the security";
    }
  }
  EXPECT_TRUE(anonymous_denied);
  EXPECT_TRUE(system_full);
  EXPECT_TRUE(admins_full);
  EXPECT_TRUE(everyone_rw);
}

TEST(PipeHandles, NoChildProcessInheritsAnythingOfThePipeLibrary) {
  const std::set<uintptr_t> before = InheritableHandles();
  std::wstring name = UniqueName(L"inherit");
  TPipeServer server(nullptr);
  server.SetPipeName(name);
  server.SetActive(true);
  ASSERT_TRUE(WaitServed(name));
  TPipeClient component(nullptr);
  component.SetPipeName(name);
  ASSERT_TRUE(component.Connect(5000));
  RawPipe raw;
  ASSERT_TRUE(raw.Open(name));
  ASSERT_TRUE(PumpUntil([&] { return server.ClientCount() == 2; }));
  ASSERT_TRUE(WaitServed(name)) << "no listening instance";
  EXPECT_EQ(InheritableHandles(), before) << "the pipe library made inheritable handles";

  std::wstring release_name = UniqueName(L"release");
  unique_handle release(CreateEventW(nullptr, TRUE, FALSE, release_name.c_str()));
  unique_handle child = StartHelper("hold_until_event", release_name, /*inherit_handles=*/true);
  ASSERT_TRUE(child.valid());

  component.Disconnect(true);
  server.SetActive(false);
  // With the child alive, the name must be gone and the raw client cut off: the child holds
  // neither a listening instance nor a connected one.
  EXPECT_EQ(raw.Receive(3000), std::nullopt);
  EXPECT_NE(raw.LastError(), static_cast<DWORD>(WAIT_TIMEOUT)) << "connection kept alive";
  unique_handle again(CreateFileW(PipePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(again.valid()) << "the name is still served";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetEvent(release.get());
  EXPECT_EQ(WaitExit(child.get()), 0);
}

TEST(PipeHandles, ABurstOfConnectionsLeavesNoHandleBehind) {
  std::wstring name = UniqueName(L"burst");
  TPipeServer server(nullptr);
  server.SetPipeName(name);
  int messages = 0;
  server.SetOnPipeMessage([&](TObject*, HPIPE pipe, TMemoryStream*) {
    ++messages;
    server.Write(pipe, "ok", 2);
  });
  auto burst = [&](int count) {
    server.SetActive(true);
    ASSERT_TRUE(WaitServed(name));
    std::vector<std::unique_ptr<RawPipe>> clients;
    for (int i = 0; i < count; ++i) {
      clients.push_back(std::make_unique<RawPipe>());
      ASSERT_TRUE(clients.back()->Open(name));
      ASSERT_TRUE(clients.back()->Send("hello"));
    }
    for (auto& c : clients) EXPECT_EQ(c->Receive(), std::optional<std::string>("ok"));
    TPipeClient component(nullptr);
    component.SetPipeName(name);
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(WaitServed(name));
      ASSERT_TRUE(component.Connect(5000));
      ASSERT_TRUE(component.Write("hello", 5));
      component.Disconnect(i % 2 == 0);
    }
    clients.clear();
    ASSERT_TRUE(PumpUntil([&] { return server.ClientCount() == 0; }));
    server.SetActive(false);
  };
  burst(2);  // first use: window classes, security descriptors and the like
  const DWORD before = HandleCount();
  burst(25);
  EXPECT_GE(messages, 2 + 25);
  EXPECT_TRUE(PumpUntil([&] { return HandleCount() <= before; }, 5000))
      << "handles before " << before << ", after " << HandleCount();
}

TEST_F(PipeServerLimits, StoppingDropsErrorsKeepsOtherNotificationsAndAQuitMessage) {
  HWND window = server_->WindowHandle();
  PostMessageW(window, WM_PIPE_ERROR_WORKER, 42, 5);
  PumpFor(50);
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0].pipe, 42u);
  EXPECT_EQ(errors_[0].context, pcWorker);
  EXPECT_EQ(errors_[0].code, 5);
  HGLOBAL empty = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 0);
  PostMessageW(window, WM_PIPE_MESSAGE, 42, reinterpret_cast<LPARAM>(empty));
  PumpFor(50);
  EXPECT_TRUE(messages_.empty()) << "an empty message raised OnPipeMessage";

  RawPipe client;  // so that the stop has a thread to wait for
  Connect(client);
  PostMessageW(window, WM_PIPE_ERROR_LISTENER, 43, 6);
  PostMessageW(window, WM_PIPE_SENT, 43, 7);
  PostQuitMessage(9);
  server_->SetActive(false);
  EXPECT_EQ(errors_.size(), 1u) << "an error was raised while stopping";
  PumpFor(50);
  EXPECT_EQ(sent_, (std::vector<Sent>{{43, 7}}));
  EXPECT_TRUE(disconnects_.empty());
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "quit message lost";
  EXPECT_EQ(msg.wParam, 9u);
}

}  // namespace
}  // namespace velotarn::test
