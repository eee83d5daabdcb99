// The control module hosted by the test's main thread, on a pipe name of its own, with bare
// Win32 clients reading its replies byte for byte and our child program as the started process.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "control/ovpn_control.h"
#include "control/reply_record.h"
#include "control/request_lines.h"
#include "control_test_support.h"
#include "names_and_counts.h"
#include "pipes/pipe_server.h"
#include "record_client.h"
#include "runtime/application.h"
#include "runtime/exit_code.h"
#include "runtime/text.h"
#include "test_support.h"

namespace velotarn::test {
namespace {

using Texts = std::vector<std::string>;

// The control module of a process of its own, on the pipe named by the argument, until that
// process is killed.
VELOTARN_HELPER(control_host) {
  if (argc < 3) return 2;
  TApplication application;
  application.OnException = [](TObject*, const Exception&) {};
  TdmOvpnControl module(nullptr, argv[2]);
  application.Run();
  return 0;
}

// The process's committed private memory now.
SIZE_T PrivateBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return counters.PagefileUsage;
}

// The child process ids that a run's records carry (each record a "pid" step's text).
std::vector<TChildProcess> OpenChildren(const Texts& texts) {
  std::vector<TChildProcess> children;
  for (const std::string& text : texts) children.push_back(TChildProcess::Open(std::stoul(text)));
  return children;
}

class OvpnControl : public testing::Test {
 protected:
  void SetUp() override {
    Application->OnException = [this](TObject*, const Exception& e) {
      errors_.push_back(e.Message());
    };
    module_ = std::make_unique<TdmOvpnControl>(nullptr, pipe_);
  }
  void TearDown() override {
    module_.reset();
    Application->OnException = nullptr;
  }

  // A connected client, checked; the module has taken it as the one to answer.
  std::unique_ptr<TRecordClient> Client() {
    TPipeServer* server = module_->PipeServer1;
    const int before = server->ClientCount();
    auto client = std::make_unique<TRecordClient>(pipe_);
    EXPECT_TRUE(client->Connected()) << "no connection to the module's pipe";
    EXPECT_TRUE(PumpUntil([&] {
      const int count = server->ClientCount();
      return count == before + 1 && module_->ReturnPipe() == server->GetClient(count - 1);
    })) << "the module did not see the client connect";
    return client;
  }

  // A run of our child that writes "probe" and ends: proves that the requests before it have
  // been handled once its two end markers are in.
  void Probe(TRecordClient& client, size_t markers_before) {
    ASSERT_TRUE(client.Send(ConnectRequest(ChildCommand({L"out:probe\\r"}), SelfDir())));
    ASSERT_TRUE(client.WaitEndMarkers(markers_before + 2)) << "the probe run did not end";
  }

  const std::wstring pipe_ = UniqueName(L"ctl");
  std::unique_ptr<TdmOvpnControl> module_;
  std::vector<std::wstring> errors_;
};

TEST_F(OvpnControl, RelaysEachLineAsARecordThenTwoEndMarkers) {
  auto client = Client();
  ASSERT_TRUE(client->Send(ConnectRequest(ChildCommand({L"out:AB\\r\\nC\\r\\nD"}), SelfDir())));
  ASSERT_TRUE(client->WaitEndMarkers(2));
  std::vector<std::string> messages = client->Messages();
  EXPECT_EQ(client->Texts(), (Texts{"AB\r", "\nC\r", "#END#", "#END#"}));
  for (const std::string& m : messages) {
    ASSERT_EQ(m.size(), kRecordSize);
    std::string_view text = RecordText(m.data(), m.size());
    EXPECT_EQ(m.find_first_not_of('\0', text.size()), std::string::npos)
        << "bytes after the text are not zero";
  }
  // The run has finished: the module no longer refers to its runner.
  EXPECT_EQ(module_->Th(), nullptr);
  EXPECT_EQ(errors_, std::vector<std::wstring>{});
}

TEST_F(OvpnControl, ByteOrderMarksAndTheAnsiCodePage) {
  auto client = Client();
  const std::wstring text = L"connect\r\n" + ChildCommand({L"out:ok\\r"}) + L"\r\n" + SelfDir();
  std::string utf16le = "\xFF\xFE", utf16be = "\xFE\xFF";
  for (wchar_t c : text) {
    utf16le += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    utf16be += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
  }
  const std::string requests[] = {WideToAnsi(text), "\xEF\xBB\xBF" + WideToUtf8(text), utf16le,
                                  utf16be};
  size_t markers = 0;
  for (const std::string& request : requests) {
    ASSERT_TRUE(client->Send(request));
    markers += 2;
    ASSERT_TRUE(client->WaitEndMarkers(markers)) << "a request was not served";
  }
  Texts run{"ok\r", "#END#", "#END#"};
  Texts expected;
  for (int i = 0; i < 4; ++i) expected.insert(expected.end(), run.begin(), run.end());
  EXPECT_EQ(client->Texts(), expected);
}

TEST_F(OvpnControl, TheCommandWordIsExact) {
  TGate started(L"started");
  TChildProcess bystander = TChildProcess::Start(ChildCommand({L"hang"}, true));
  auto client = Client();
  const std::wstring rest =
      L"\r\n" + ChildCommand({L"signal:" + started.Name()}) + L"\r\n" + SelfDir();
  for (const wchar_t* word : {L"Connect", L" connect", L"connect ", L"CONNECT", L"Disconnect",
                              L"disconnect ", L" disconnect", L"\tdisconnect"})
    ASSERT_TRUE(client->Send(WideToAnsi(word + rest)));
  Probe(*client, 0);
  EXPECT_EQ(client->Texts(), (Texts{"probe\r", "#END#", "#END#"}));
  EXPECT_FALSE(started.IsSignalled()) << "a command word in another form started a run";
  EXPECT_TRUE(bystander.Running()) << "a command word in another form ended openvpn.exe";
  EXPECT_EQ(errors_, std::vector<std::wstring>{});
}

TEST_F(OvpnControl, ShortRequestsRaiseTheIndexErrorAndChangeNothing) {
  TGate started(L"started");
  auto client = Client();
  const std::string command = WideToAnsi(ChildCommand({L"signal:" + started.Name()}));
  // Text that ends at once (a NUL first), "connect" alone, "connect" with its command line as
  // the last line.
  ASSERT_TRUE(client->Send(std::string("\0connect", 8)));
  ASSERT_TRUE(client->Send("connect"));
  ASSERT_TRUE(client->Send("connect\r\n" + command + "\r\n"));
  ASSERT_TRUE(client->Send("connect\r\n" + command));
  // The next request is still served.
  Probe(*client, 0);
  EXPECT_EQ(errors_, (std::vector<std::wstring>{
                         L"List index out of bounds (0)", L"List index out of bounds (1)",
                         L"List index out of bounds (2)", L"List index out of bounds (2)"}));
  EXPECT_EQ(client->Texts(), (Texts{"probe\r", "#END#", "#END#"}));
  EXPECT_FALSE(started.IsSignalled()) << "a short request started a process";
}

TEST_F(OvpnControl, AnEmptyDirectoryFailsTheStart) {
  auto client = Client();
  // Passed on as an empty string, which process creation refuses: one end marker only.
  ASSERT_TRUE(client->Send("connect\r\n" + WideToAnsi(ChildCommand({L"out:never\\r"})) + "\r\n\r\n"));
  ASSERT_TRUE(client->WaitEndMarkers(1));
  Probe(*client, 1);
  Texts texts = client->Texts();
  EXPECT_EQ(CountEndMarkers(texts), 3u);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "never\r"), 0);
  EXPECT_EQ(module_->Th(), nullptr);
}

TEST_F(OvpnControl, DisconnectWithoutARunEndsEveryOpenvpnAndSendsNothing) {
  TChildProcess first = TChildProcess::Start(ChildCommand({L"hang"}, true));
  TChildProcess second = TChildProcess::Start(ChildCommand({L"hang"}, true));
  ASSERT_TRUE(first.Running() && second.Running());
  auto client = Client();
  ASSERT_TRUE(client->Send("disconnect\r\nanything after is ignored"));
  EXPECT_EQ(first.WaitExit(), 0);
  EXPECT_EQ(second.WaitExit(), 0);
  Probe(*client, 0);
  EXPECT_EQ(client->Texts(), (Texts{"probe\r", "#END#", "#END#"}));
}

TEST_F(OvpnControl, DisconnectDuringARunStillRelaysWhatWasWritten) {
  TGate written(L"written");
  auto client = Client();
  ASSERT_TRUE(client->Send(ConnectRequest(
      ChildCommand({L"out:one\\r\\ntwo\\r\\n", L"signal:" + written.Name(), L"hang"}, true),
      SelfDir())));
  ASSERT_TRUE(written.WaitSignalled()) << "the child did not write its lines";
  ASSERT_TRUE(client->Send(EncodeRequest(TRequestCommand::Disconnect)));
  ASSERT_TRUE(client->WaitEndMarkers(2)) << "the run did not end after disconnect";
  EXPECT_EQ(client->Texts(), (Texts{"one\r", "\ntwo\r", "#END#", "#END#"}));
}

TEST_F(OvpnControl, TwoRunsAtOnceEachEndWhenItsOwnChildEnds) {
  TGate first_done(L"first"), second_done(L"second");
  auto client = Client();
  ASSERT_TRUE(client->Send(
      ConnectRequest(ChildCommand({L"out:a\\r", L"gate:" + first_done.Name()}), SelfDir())));
  ASSERT_TRUE(client->WaitFor([](const TRecordClient& c) { return c.Texts().size() == 1; }));
  // The second child starts while the first run's pipe exists.
  ASSERT_TRUE(client->Send(
      ConnectRequest(ChildCommand({L"out:b\\r", L"gate:" + second_done.Name()}), SelfDir())));
  ASSERT_TRUE(client->WaitFor([](const TRecordClient& c) { return c.Texts().size() == 2; }));

  first_done.Open();
  ASSERT_TRUE(client->WaitEndMarkers(2)) << "the first run waited for the second child";
  second_done.Open();
  ASSERT_TRUE(client->WaitEndMarkers(4));
  EXPECT_EQ(client->Texts(), (Texts{"a\r", "b\r", "#END#", "#END#", "#END#", "#END#"}));
  EXPECT_EQ(module_->Th(), nullptr);
}

TEST_F(OvpnControl, RecordsGoToTheClientThatConnectedLast) {
  auto a = Client();
  auto b = Client();
  ASSERT_TRUE(a->Send(ConnectRequest(ChildCommand({L"out:x\\r"}), SelfDir())));
  ASSERT_TRUE(b->WaitEndMarkers(2));
  EXPECT_EQ(b->Texts(), (Texts{"x\r", "#END#", "#END#"}));
  EXPECT_EQ(a->Texts(), Texts{});
}

TEST_F(OvpnControl, AClientLeavingMidRunAndTheNextOne) {
  TGate go_on(L"go"), finish(L"finish");
  auto a = Client();
  ASSERT_TRUE(a->Send(ConnectRequest(ChildCommand({L"out:one\\r", L"gate:" + go_on.Name(),
                                                   L"out:two\\r", L"gate:" + finish.Name(),
                                                   L"out:three\\r"}),
                                     SelfDir())));
  ASSERT_TRUE(a->WaitFor([](const TRecordClient& c) { return c.Texts().size() == 1; }));
  a->Close();
  ASSERT_TRUE(PumpUntil([&] { return module_->PipeServer1->ClientCount() == 0; }))
      << "the server did not see the client leave";
  go_on.Open();  // "two" goes to a client that is gone: dropped, unless B is there first

  auto b = Client();
  finish.Open();
  ASSERT_TRUE(b->WaitEndMarkers(2)) << "the run's end did not reach the new client";
  Texts texts = b->Texts();
  if (!texts.empty() && texts.front() == "two\r") texts.erase(texts.begin());
  EXPECT_EQ(texts, (Texts{"three\r", "#END#", "#END#"}));
  EXPECT_EQ(a->Texts(), Texts{"one\r"});
}

TEST_F(OvpnControl, ALongLineTravelsInSeveralRecordsWithNothingLost) {
  auto client = Client();
  ASSERT_TRUE(client->Send(ConnectRequest(ChildCommand({L"fill:5000:61", L"out:\\r"}), SelfDir())));
  ASSERT_TRUE(client->WaitEndMarkers(2));
  Texts texts = client->Texts();
  ASSERT_GE(texts.size(), 3u);
  std::string joined;
  for (size_t i = 0; i + 2 < texts.size(); ++i) {
    EXPECT_LE(texts[i].size(), kMaxRecordText);
    joined += texts[i];
  }
  EXPECT_EQ(joined, std::string(5000, 'a') + "\r");
}

TEST_F(OvpnControl, DestroyingTheModuleDuringARunEndsItsChildFirst) {
  auto client = Client();
  ASSERT_TRUE(client->Send(ConnectRequest(ChildCommand({L"pid", L"hang"}), SelfDir())));
  ASSERT_TRUE(client->WaitFor([](const TRecordClient& c) { return c.Texts().size() == 1; }));
  TChildProcess child = TChildProcess::Open(std::stoul(client->Texts()[0]));
  ASSERT_TRUE(child.Running());

  module_.reset();
  // Ended with the program's own exit code before destruction was over.
  EXPECT_FALSE(child.Running());
  EXPECT_EQ(child.WaitExit(0), ExitCode());
  // The pipe has gone with the module; the detached runner sent nothing more.
  ASSERT_TRUE(client->WaitFor([](const TRecordClient& c) { return c.Broken(); }));
  EXPECT_EQ(client->EndMarkers(), 0u);
}

TEST_F(OvpnControl, DestroyingTheModuleWhileLinesPourIn) {
  auto client = Client();
  // Lines without pause: the runner is likely in a delivery when destruction begins.
  ASSERT_TRUE(client->Send(ConnectRequest(ChildCommand({L"fill:300000:0D"}), SelfDir())));
  ASSERT_TRUE(client->WaitFor([](const TRecordClient& c) { return c.Texts().size() >= 20; }));
  module_.reset();
  ASSERT_TRUE(client->WaitFor([](const TRecordClient& c) { return c.Broken(); }));
  // Deliveries queued before the detach find the runner detached: the loop goes on safely.
  PumpFor(200);
  EXPECT_EQ(client->EndMarkers(), 0u);
}

TEST_F(OvpnControl, EveryLiveRunsChildEndsWithTheModule) {
  auto client = Client();
  for (int run = 0; run < 2; ++run)
    ASSERT_TRUE(client->Send(ConnectRequest(ChildCommand({L"pid", L"hang"}), SelfDir())));
  ASSERT_TRUE(client->WaitFor([](const TRecordClient& c) { return c.Texts().size() == 2; }));
  std::vector<TChildProcess> children = OpenChildren(client->Texts());
  ASSERT_TRUE(children[0].Running() && children[1].Running());

  module_.reset();
  // The newest child is waited for; the older one was terminated without a wait.
  EXPECT_FALSE(children[1].Running()) << "the newest run's child outlived the module";
  EXPECT_EQ(children[0].WaitExit(10000), ExitCode()) << "an older run's child outlived the module";
}

TEST_F(OvpnControl, DestructionWaitsForTheNewestRunnersOwnEnd) {
  auto client = Client();
  // A finished run leaves the shared "EXIT_EVENT" signalled while anybody holds it open (the
  // test here, like a started program that watches it).
  unique_handle exit_event(CreateEventW(nullptr, FALSE, FALSE, kExitEventName));
  ASSERT_TRUE(client->Send(ConnectRequest(ChildCommand({L"out:a\\r"}), SelfDir())));
  ASSERT_TRUE(client->WaitEndMarkers(2));
  // The newest run's child starts a program that keeps the output pipe open: that runner ends
  // only once the test lets the grandchild go, which it does when the child has been ended.
  TGate release(L"release");
  ASSERT_TRUE(client->Send(ConnectRequest(
      ChildCommand({L"pid", L"spawn:pid gate:" + release.Name(), L"hang"}), SelfDir())));
  ASSERT_TRUE(client->WaitFor([](const TRecordClient& c) { return c.Texts().size() == 5; }));
  std::vector<TChildProcess> children = OpenChildren({client->Texts()[3], client->Texts()[4]});
  HANDLE copy = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), module_->Th()->Handle(), GetCurrentProcess(),
                              &copy, SYNCHRONIZE, FALSE, 0));
  unique_handle runner(copy);
  // The grandchild is let go once the child has been ended and destruction has been seen
  // still waiting for a while: a destruction that does not wait for this runner returns first.
  unique_handle destroyed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  bool returned_early = false;
  std::thread releaser([&] {
    WaitForSingleObject(children[0].Get(), 30000);
    returned_early = WaitForSingleObject(destroyed.get(), 1000) == WAIT_OBJECT_0;
    release.Open();
  });

  module_.reset();
  SetEvent(destroyed.get());
  releaser.join();
  EXPECT_FALSE(returned_early) << "destruction returned while the newest runner still ran";
  EXPECT_EQ(WaitForSingleObject(runner.get(), 0), WAIT_OBJECT_0)
      << "destruction returned before the newest runner had ended";
  EXPECT_EQ(children[1].WaitExit(10000), 0);
}

TEST(OvpnControlHost, ChildrenEndWhenTheHostProcessIsKilled) {
  const std::wstring pipe = UniqueName(L"host");
  TChildProcess host(StartHelper("control_host", pipe));
  ASSERT_TRUE(host.Running());
  TRecordClient client(pipe);
  ASSERT_TRUE(client.Connected()) << "the host never served its pipe";
  for (int run = 0; run < 2; ++run)
    ASSERT_TRUE(client.Send(ConnectRequest(ChildCommand({L"pid", L"hang"}), SelfDir())));
  ASSERT_TRUE(client.WaitFor([](const TRecordClient& c) { return c.Texts().size() == 2; }));
  std::vector<TChildProcess> children = OpenChildren(client.Texts());

  // No exit step, no destroy handler: only the system can end the children now.
  ASSERT_TRUE(TerminateProcess(host.Get(), 7));
  for (const TChildProcess& child : children)
    EXPECT_NE(child.WaitExit(10000), -1) << "a child outlived the killed service process";
}

TEST_F(OvpnControl, TheClientThatConnectedLastGetsTheRecordsEveryTime) {
  for (int round = 0; round < 30; ++round) {
    // B connects right after A; A asks at once, without waiting for either to be announced.
    TRecordClient a(pipe_);
    TRecordClient b(pipe_);
    ASSERT_TRUE(a.Connected() && b.Connected());
    ASSERT_TRUE(a.Send(ConnectRequest(ChildCommand({L"out:x\\r"}), SelfDir())));
    ASSERT_TRUE(b.WaitEndMarkers(2)) << "round " << round << ": the records went elsewhere";
    EXPECT_EQ(b.Texts(), (Texts{"x\r", "#END#", "#END#"})) << "round " << round;
    EXPECT_EQ(a.Texts(), Texts{}) << "round " << round;
  }
}

// A child that writes far faster than the client reads, more records than a connection's queue
// may hold: the run is held back while that queue is full, so a client that keeps reading gets
// every record, in order, and is never taken for one that stopped.
TEST_F(OvpnControl, AClientThatKeepsReadingGetsAFloodWhole) {
  auto client = Client();
  constexpr size_t kLines = 6000;
  static_assert(kLines * kRecordSize > kMaxQueuedBytes);
  ASSERT_TRUE(client->Send(ConnectRequest(ChildCommand({L"seq:6000"}), SelfDir())));
  ASSERT_TRUE(client->WaitFor(
      [](const TRecordClient& c) { return c.EndMarkers() == 2 || c.Broken(); }, 60000));
  ASSERT_FALSE(client->Broken()) << "cut off after " << client->Texts().size()
                                 << " records, error " << client->BreakError();
  const Texts texts = client->Texts();
  ASSERT_EQ(texts.size(), kLines + 2);
  for (size_t n = 0; n < kLines; ++n)
    ASSERT_EQ(texts[n], (n == 0 ? "" : "\n") + std::to_string(n + 1) + "\r") << "record " << n;
  EXPECT_EQ(errors_, std::vector<std::wstring>{});
}

TEST_F(OvpnControl, AClientThatStopsReadingIsCutOffAndTheNextGetsTheRest) {
  TGate written(L"written"), finish(L"finish");
  const std::wstring lines = L"lines:50000:1000";  // 50 MB, one record a line
  // A client that sends its request and never reads a byte.
  RawPipe stalled;
  ASSERT_TRUE(stalled.Open(pipe_, 20000));
  TPipeServer* server = module_->PipeServer1;
  ASSERT_TRUE(PumpUntil([&] { return server->ClientCount() == 1 && module_->ReturnPipe() != 0; }));
  const std::string request = ConnectRequest(
      ChildCommand({lines, L"signal:" + written.Name(),
                    L"gate:" + finish.Name(), L"out:tail\\r"}),
      SelfDir());
  ASSERT_TRUE(stalled.Send(request));

  const SIZE_T before = PrivateBytes();
  SIZE_T most = before;
  bool all_written = false;
  ASSERT_TRUE(PumpUntil(
      [&] {
        most = std::max(most, PrivateBytes());
        all_written = all_written || written.IsSignalled();
        return all_written && server->ClientCount() == 0;
      },
      180000))
      << "the child did not get its output out, or the stalled client stayed connected";
  EXPECT_LT(most - before, static_cast<SIZE_T>(kMaxQueuedBytes + 16 * 1024 * 1024))
      << "the replies for a client that does not read were not bounded";
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_NE(errors_[0].find(L"stopped reading"), std::wstring::npos) << errors_[0];

  // Its next read fails instead of waiting.
  EXPECT_FALSE(stalled.Receive(5000).has_value());
  const DWORD error = stalled.LastError();
  EXPECT_TRUE(error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_BROKEN_PIPE) << error;

  // The run went on: the next client gets what follows, and both end markers.
  auto next = Client();
  finish.Open();
  ASSERT_TRUE(next->WaitEndMarkers(2));
  Texts texts = next->Texts();
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(Texts(texts.end() - 3, texts.end()), (Texts{"\ntail\r", "#END#", "#END#"}));
}

}  // namespace
}  // namespace velotarn::test
