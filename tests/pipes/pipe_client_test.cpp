// The pipe client against our own server component and against raw server instances: the
// connection's life, its records across connections, and the ways a connection ends.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pipe_server_fixture.h"
#include "pipes/pipe_client.h"
#include "runtime/text.h"

namespace velotarn::test {
namespace {

// Records every event of one client component.
struct ClientEvents {
  std::vector<HPIPE> disconnects;
  std::vector<Received> messages;
  std::vector<Sent> sent;
  std::vector<PipeError> errors;

  void Attach(TPipeClient& c) {
    c.SetOnPipeDisconnect([this](TObject*, HPIPE p) { disconnects.push_back(p); });
    c.SetOnPipeMessage([this](TObject*, HPIPE p, TMemoryStream* s) {
      std::string bytes(static_cast<size_t>(s->Size()), '\0');
      s->Read(bytes.data(), s->Size());
      messages.push_back({p, bytes});
    });
    c.SetOnPipeSent([this](TObject*, HPIPE p, uint32_t n) { sent.push_back({p, n}); });
    c.SetOnPipeError([this](TObject*, HPIPE p, TPipeContext ctx, int32_t code) {
      errors.push_back({p, ctx, code});
    });
  }
  bool Quiet() const { return disconnects.empty() && messages.empty() && sent.empty() && errors.empty(); }
};

void ExpectPipeException(const std::function<void()>& action, const wchar_t* text) {
  try {
    action();
    ADD_FAILURE() << "no EPipeException";
  } catch (const EPipeException& e) {
    EXPECT_EQ(e.Message(), text);
  }
}

TEST(PipeClientIdle, DefaultsRefusalsAndForeignNotifications) {
  TPipeClient client(nullptr);
  ClientEvents events;
  events.Attach(client);
  EXPECT_EQ(client.PipeName(), L"PipeServer");
  EXPECT_EQ(client.ServerName(), L"");
  EXPECT_FALSE(client.Connected());
  ASSERT_TRUE(IsWindow(client.WindowHandle()));
  EXPECT_EQ(SendMessageW(client.WindowHandle(), WM_QUERYENDSESSION, 0, 0), 1);

  client.SetPipeName(L"PipeIn");
  for (const std::wstring& bad : {std::wstring(64, L'n'), std::wstring(), std::wstring(L"a\\b")})
    ExpectPipeException([&] { client.SetPipeName(bad); }, L"Invalid pipe name specified!");
  EXPECT_EQ(client.PipeName(), L"PipeIn");

  EXPECT_FALSE(client.Write("x", 1)) << "queued while not connected";
  client.Disconnect(true);  // idle: nothing happens
  client.Disconnect(false);
  client.SetPipeName(UniqueName(L"nobody"));
  EXPECT_FALSE(client.Connect(100)) << "connected to a name nobody serves";
  EXPECT_FALSE(client.Connected());

  // Notifications that belong to the server's window mean nothing here.
  PostMessageW(client.WindowHandle(), WM_PIPE_CONNECT, 1, 0);
  PostMessageW(client.WindowHandle(), WM_PIPE_ERROR_LISTENER, 1, 5);
  PumpFor(100);
  EXPECT_TRUE(events.Quiet());
}

TEST(PipeClientIdle, ServerNameFormsAndPathsThatDoNotFit) {
  TPipeServer server(nullptr);
  std::wstring name = UniqueName(L"names");
  server.SetPipeName(name);
  server.SetActive(true);
  ASSERT_TRUE(WaitServed(name));
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(computer, &size));
  std::wstring lower = computer;
  CharLowerBuffW(lower.data(), static_cast<DWORD>(lower.size()));
  for (const std::wstring& server_name : {std::wstring(), std::wstring(L"."), lower}) {
    TPipeClient client(nullptr);
    client.SetPipeName(name);
    client.SetServerName(server_name);
    EXPECT_TRUE(client.Connect(5000)) << "ServerName \"" << WideToUtf8(server_name) << "\"";
    client.Disconnect(true);
    ASSERT_TRUE(WaitServed(name));
  }
  TPipeClient remote(nullptr);
  remote.SetPipeName(name);
  remote.SetServerName(std::wstring(1100, L'h'));  // the path would not fit
  EXPECT_FALSE(remote.Connect(100));
  EXPECT_FALSE(remote.Connected());
}

class PipeClientTest : public PipeServerFixture {
 protected:
  void SetUp() override {
    PipeServerFixture::SetUp();
    client_ = std::make_unique<TPipeClient>(nullptr);
    client_->SetPipeName(name_);
    events_.Attach(*client_);
  }
  void TearDown() override {
    if (client_) client_->Disconnect(true);
    client_.reset();
    PipeServerFixture::TearDown();
  }
  std::unique_ptr<TPipeClient> client_;
  ClientEvents events_;
};

TEST_F(PipeClientTest, MessagesBothWaysWithoutSizeLimit) {
  ASSERT_TRUE(client_->Connect(5000));
  ASSERT_TRUE(client_->Connected());
  ASSERT_TRUE(PumpUntil([&] { return connects_.size() == 1; }));
  EXPECT_TRUE(client_->Connect(5000)) << "second Connect while connected";
  HPIPE server_end = connects_[0];

  std::string big = Pattern(70000, 3);
  ASSERT_TRUE(client_->Write("ping", 4));
  ASSERT_TRUE(client_->Write(big.data(), static_cast<int32_t>(big.size())));
  EXPECT_FALSE(client_->Write("x", -1));
  ASSERT_TRUE(PumpUntil([&] { return messages_.size() == 2 && events_.sent.size() == 2; }));
  EXPECT_EQ(messages_[0].bytes, "ping");
  EXPECT_TRUE(messages_[1].bytes == big) << "long message changed on the way";
  EXPECT_EQ(events_.sent[0].size, 4u);
  EXPECT_EQ(events_.sent[1].size, 70000u);
  HPIPE client_end = events_.sent[0].pipe;

  ASSERT_TRUE(server_->Write(server_end, nullptr, 0));  // raises nothing at the client
  ASSERT_TRUE(server_->Write(server_end, "pong", 4));
  ASSERT_TRUE(PumpUntil([&] { return !events_.messages.empty(); }));
  PumpFor(50);
  ASSERT_EQ(events_.messages.size(), 1u);
  EXPECT_EQ(events_.messages[0].bytes, "pong");
  EXPECT_EQ(events_.messages[0].pipe, client_end);
  EXPECT_EQ(connects_.size(), 1u) << "the second Connect made a new connection";
  EXPECT_TRUE(events_.errors.empty());
}

TEST_F(PipeClientTest, PropertiesAreRefusedWhileConnected) {
  ASSERT_TRUE(client_->Connect(5000));
  ExpectPipeException([&] { client_->SetPipeName(L"Other"); },
                      L"Cannot change property when client is connected!");
  ExpectPipeException([&] { client_->SetServerName(L"."); },
                      L"Cannot change property when client is connected!");
  EXPECT_EQ(client_->PipeName(), name_);
  EXPECT_EQ(client_->ServerName(), L"");
}

TEST_F(PipeClientTest, DisconnectWithWaitReturnsAfterTheDisconnectEvent) {
  ASSERT_TRUE(client_->Connect(5000));
  ASSERT_TRUE(PumpUntil([&] { return connects_.size() == 1; }));
  client_->Disconnect(true);
  EXPECT_FALSE(client_->Connected());
  ASSERT_EQ(events_.disconnects.size(), 1u) << "OnPipeDisconnect not raised before returning";
  EXPECT_FALSE(client_->Write("x", 1));
  ASSERT_TRUE(PumpUntil([&] { return disconnects_.size() == 1; })) << "server saw no disconnect";
  EXPECT_TRUE(events_.errors.empty());
  EXPECT_TRUE(errors_.empty());
}

TEST_F(PipeClientTest, DisconnectWithoutWaitReportsTheEndLater) {
  ASSERT_TRUE(client_->Connect(5000));
  client_->Disconnect(false);
  EXPECT_FALSE(client_->Connected());
  EXPECT_TRUE(events_.disconnects.empty());
  ASSERT_TRUE(PumpUntil([&] { return events_.disconnects.size() == 1; }));
  EXPECT_FALSE(client_->Connected());
  EXPECT_TRUE(events_.errors.empty());
}

// Connect while the previous connection's thread is still ending: the late end of the old
// connection is reported but leaves the new one alone.
TEST_F(PipeClientTest, LateEndOfAnOldConnectionLeavesTheNewOneAlone) {
  ASSERT_TRUE(client_->Connect(5000));
  ASSERT_TRUE(PumpUntil([&] { return connects_.size() == 1; }));
  client_->Disconnect(false);
  ASSERT_TRUE(client_->Connect(5000));  // no pumping in between: the old end is still to come
  ASSERT_TRUE(PumpUntil([&] { return events_.disconnects.size() == 1; }));
  EXPECT_TRUE(client_->Connected()) << "the old connection's end closed the new one";
  ASSERT_TRUE(PumpUntil([&] { return connects_.size() == 2; }));
  ASSERT_TRUE(client_->Write("new", 3));
  ASSERT_TRUE(PumpUntil([&] { return !messages_.empty(); }));
  EXPECT_EQ(messages_[0].bytes, "new");
  EXPECT_EQ(messages_[0].pipe, connects_[1]);
}

TEST_F(PipeClientTest, DestroyingAConnectedClientRaisesNothingAndEndsTheConnection) {
  ASSERT_TRUE(client_->Connect(5000));
  ASSERT_TRUE(PumpUntil([&] { return connects_.size() == 1; }));
  ASSERT_TRUE(client_->Write("last", 4));  // its dequeue call comes after the component is gone
  client_.reset();
  ASSERT_TRUE(PumpUntil([&] { return disconnects_.size() == 1; })) << "connection not ended";
  PumpFor(100);
  EXPECT_TRUE(events_.Quiet());
}

// A raw server instance, for exact control over how the server ends a connection.
class PipeClientRawServer : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = UniqueName(L"raw");
    ASSERT_TRUE(server_.Create(name_));
    client_.SetPipeName(name_);
    events_.Attach(client_);
  }
  void TearDown() override { client_.Disconnect(true); }

  std::wstring name_;
  RawPipe server_;
  TPipeClient client_{nullptr};
  ClientEvents events_;
};

TEST_F(PipeClientRawServer, RecordQueuedAfterTheLoopEndedGoesFirstOnTheNextConnection) {
  ASSERT_TRUE(client_.Connect(5000));
  ASSERT_TRUE(server_.Accept());
  PumpFor(50);  // the client thread settles into its wait
  TSyncWait armed;  // nothing is pending now, so the signal is reset
  ASSERT_TRUE(server_.Disconnect());
  // The thread's only main-thread call from here is its termination handler.
  ASSERT_EQ(WaitForSingleObject(armed.Signal(), 10000), WAIT_OBJECT_0) << "client thread kept on";
  ASSERT_TRUE(client_.Connected());
  ASSERT_TRUE(client_.Write("queued", 6)) << "Write refused before the end was handled";
  ASSERT_TRUE(PumpUntil([&] { return events_.disconnects.size() == 1; }));
  EXPECT_FALSE(client_.Connected());
  for (const PipeError& e : events_.errors)
    EXPECT_NE(e.code, ERROR_PIPE_NOT_CONNECTED) << "the server's disconnect was reported";

  ASSERT_TRUE(server_.Listen());
  ASSERT_TRUE(client_.Connect(5000));
  ASSERT_TRUE(server_.Accept());
  EXPECT_EQ(server_.Receive(), std::optional<std::string>("queued"));
}

// The server reads nothing: the client's thread takes every queued record, its first write
// waits, and the connection is lost. The records taken and not written (the waiting one too)
// go out first on the next connection, in order, before what was queued after them.
TEST_F(PipeClientRawServer, RecordsTakenButNotWrittenGoFirstOnTheNextConnection) {
  ASSERT_TRUE(client_.Connect(5000));
  ASSERT_TRUE(server_.Accept());
  const std::vector<std::string> records = {Pattern(3000, 1), "two", "", Pattern(5000, 4), "five"};
  for (const std::string& r : records)
    ASSERT_TRUE(client_.Write(r.data(), static_cast<int32_t>(r.size())));
  ASSERT_TRUE(PumpUntil([&] {
    DWORD waiting = 0;
    PeekNamedPipe(server_.Handle(), nullptr, 0, nullptr, &waiting, nullptr);
    return waiting > 0;
  })) << "the first record was never written";
  ASSERT_TRUE(server_.Disconnect());
  ASSERT_TRUE(PumpUntil([&] { return events_.disconnects.size() == 1; }));
  EXPECT_TRUE(events_.sent.empty()) << "a record the server never took was reported as sent";

  ASSERT_TRUE(server_.Listen());
  ASSERT_TRUE(client_.Connect(5000));
  ASSERT_TRUE(client_.Write("after", 5));
  ASSERT_TRUE(server_.Accept());
  for (size_t n = 0; n < records.size(); ++n)
    EXPECT_EQ(server_.Receive(), std::optional<std::string>(records[n])) << "record " << n;
  EXPECT_EQ(server_.Receive(), std::optional<std::string>("after"));
  ASSERT_TRUE(PumpUntil([&] { return events_.sent.size() == records.size() + 1; }));
  for (size_t n = 0; n < records.size(); ++n)
    EXPECT_EQ(events_.sent[n].size, records[n].size()) << "record " << n;
}

TEST_F(PipeClientRawServer, ServerClosingItsEndIsAnErrorThenADisconnect) {
  ASSERT_TRUE(client_.Connect(5000));
  ASSERT_TRUE(server_.Accept());
  ASSERT_TRUE(server_.Send("hi"));
  ASSERT_TRUE(PumpUntil([&] { return events_.messages.size() == 1; }));
  server_.Close();  // no disconnect first: the client sees the pipe break
  ASSERT_TRUE(PumpUntil([&] { return events_.disconnects.size() == 1 && !events_.errors.empty(); }));
  PumpFor(50);
  ASSERT_EQ(events_.errors.size(), 1u);
  EXPECT_EQ(events_.errors[0].context, pcWorker);
  EXPECT_EQ(events_.errors[0].code, ERROR_BROKEN_PIPE);
  EXPECT_EQ(events_.errors[0].pipe, events_.disconnects[0]);
  EXPECT_FALSE(client_.Connected());
}

}  // namespace
}  // namespace velotarn::test
