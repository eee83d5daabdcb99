// The pipe server against raw Win32 clients: messages whole and in order, writes and their
// notifications, the limits of Write and Broadcast, the end of connections, deactivation.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pipe_server_fixture.h"

namespace velotarn::test {
namespace {

TEST(PipeServerProperties, NewComponentIsIdleWithAWindow) {
  TPipeServer server(nullptr);
  EXPECT_EQ(server.PipeName(), L"PipeServer");
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.ClientCount(), 0);
  ASSERT_NE(server.WindowHandle(), nullptr);
  EXPECT_TRUE(IsWindow(server.WindowHandle()));
  EXPECT_EQ(SendMessageW(server.WindowHandle(), WM_QUERYENDSESSION, 0, 0), 1);
  EXPECT_THROW(server.GetClient(0), EListError);
  try {
    server.GetClient(-1);
    FAIL() << "no error for index -1";
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), L"List index out of bounds (-1)");
  }
}

TEST(PipeServerProperties, PipeNameIsValidatedAndRefusedWhileActive) {
  TPipeServer server(nullptr);
  std::wstring longest(63, L'n');
  server.SetPipeName(longest);
  EXPECT_EQ(server.PipeName(), longest);
  for (const std::wstring& bad : {std::wstring(64, L'n'), std::wstring(), std::wstring(L"a\\b")}) {
    try {
      server.SetPipeName(bad);
      FAIL() << "accepted an invalid name";
    } catch (const EPipeException& e) {
      EXPECT_EQ(e.Message(), L"Invalid pipe name specified!");
    }
    EXPECT_EQ(server.PipeName(), longest);
  }
  std::wstring name = UniqueName(L"props");
  server.SetPipeName(name);
  server.SetActive(true);
  try {
    server.SetPipeName(name);  // refused even when unchanged
    FAIL() << "name changed while active";
  } catch (const EPipeException& e) {
    EXPECT_EQ(e.Message(), L"Cannot change property while server is active!");
  }
  EXPECT_EQ(server.PipeName(), name);
  server.SetActive(true);  // no second listener, no error
  EXPECT_TRUE(server.Active());
  server.SetActive(false);
  server.SetActive(false);
  EXPECT_FALSE(server.Active());
}

class PipeServerMessages : public PipeServerFixture {};

TEST_F(PipeServerMessages, ConnectMessageReplyAndSent) {
  RawPipe client;
  ASSERT_TRUE(client.Open(name_));
  ASSERT_TRUE(PumpUntil([&] { return !connects_.empty(); })) << "no OnPipeConnect";
  HPIPE pipe = connects_[0];
  EXPECT_EQ(server_->ClientCount(), 1);
  EXPECT_EQ(server_->GetClient(0), pipe);
  EXPECT_EQ(server_->Clients(0), pipe);

  ASSERT_TRUE(client.Send("hello"));
  ASSERT_TRUE(PumpUntil([&] { return messages_.size() == 1; })) << "no OnPipeMessage";
  EXPECT_EQ(messages_[0].pipe, pipe);
  EXPECT_EQ(messages_[0].bytes, "hello");

  ASSERT_TRUE(server_->Write(pipe, "reply!", 6));
  EXPECT_EQ(client.Receive(), std::optional<std::string>("reply!"));
  ASSERT_TRUE(PumpUntil([&] { return sent_.size() == 1; })) << "no OnPipeSent";
  EXPECT_EQ(sent_[0], (Sent{pipe, 6}));
  EXPECT_TRUE(errors_.empty());
}

TEST_F(PipeServerMessages, LongMessagesArriveWholeAndAlone) {
  RawPipe client;
  ASSERT_TRUE(client.Open(name_));
  const std::vector<std::string> sent = {Pattern(4096, 1), Pattern(4097, 2), Pattern(65535, 3),
                                         Pattern(70000, 4), "short", Pattern(4097, 5), "x"};
  for (const std::string& m : sent) ASSERT_TRUE(client.Send(m));
  ASSERT_TRUE(PumpUntil([&] { return messages_.size() == sent.size(); }))
      << "got " << messages_.size() << " of " << sent.size() << " messages";
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(messages_[i].bytes.size(), sent[i].size()) << "message " << i;
    EXPECT_TRUE(messages_[i].bytes == sent[i]) << "message " << i << " differs";
  }
}

TEST_F(PipeServerMessages, ZeroLengthMessageRaisesNothingAndLosesNothing) {
  RawPipe client;
  ASSERT_TRUE(client.Open(name_));
  ASSERT_TRUE(client.Send(""));
  ASSERT_TRUE(client.Send("after"));
  ASSERT_TRUE(PumpUntil([&] { return !messages_.empty(); }));
  PumpFor(100);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].bytes, "after");
}

TEST_F(PipeServerMessages, RecordsAreWrittenAsMessagesInOrderEachWithItsSent) {
  RawPipe client;
  ASSERT_TRUE(client.Open(name_));
  ASSERT_TRUE(PumpUntil([&] { return !connects_.empty(); }));
  HPIPE pipe = connects_[0];
  std::string big = Pattern(65535, 9);
  ASSERT_TRUE(server_->Write(pipe, "first", 5));
  ASSERT_TRUE(server_->Write(pipe, "second!", 7));
  ASSERT_TRUE(server_->Write(pipe, nullptr, 0));
  ASSERT_TRUE(server_->Write(pipe, big.data(), static_cast<int32_t>(big.size())));
  EXPECT_EQ(client.Receive(), std::optional<std::string>("first"));
  EXPECT_EQ(client.Receive(), std::optional<std::string>("second!"));
  EXPECT_EQ(client.Receive(), std::optional<std::string>(""));
  EXPECT_EQ(client.Receive(), std::optional<std::string>(big));
  ASSERT_TRUE(PumpUntil([&] { return sent_.size() == 4; }));
  EXPECT_EQ(sent_, (std::vector<Sent>{{pipe, 5}, {pipe, 7}, {pipe, 0}, {pipe, 65535}}));
}

TEST_F(PipeServerMessages, WriteAndBroadcastLimits) {
  std::string big = Pattern(65536, 1);
  EXPECT_TRUE(server_->Broadcast("x", 1)) << "no clients: nothing to refuse";
  RawPipe a, b;
  Connect(a);
  Connect(b);
  HPIPE pipe = connects_[0];

  EXPECT_FALSE(server_->Write(pipe, big.data(), 65536));
  EXPECT_FALSE(server_->Write(pipe, big.data(), -1));
  EXPECT_FALSE(server_->Write(pipe, nullptr, 3));
  EXPECT_FALSE(server_->Write(pipe + 4000, "x", 1)) << "unknown pipe accepted";
  EXPECT_FALSE(server_->Broadcast(big.data(), 65536));
  // Nothing of the refused writes was queued: the first thing each client gets is this.
  EXPECT_TRUE(server_->Broadcast(big.data(), 65535));
  EXPECT_EQ(a.Receive(), std::optional<std::string>(big.substr(0, 65535)));
  EXPECT_EQ(b.Receive(), std::optional<std::string>(big.substr(0, 65535)));
  ASSERT_TRUE(PumpUntil([&] { return sent_.size() == 2; }));
  EXPECT_TRUE(errors_.empty());
}

TEST_F(PipeServerMessages, ClientClosingItsEndIsADisconnectNotAnError) {
  RawPipe a, b;
  Connect(a);
  Connect(b);
  HPIPE first = connects_[0];
  a.Close();
  ASSERT_TRUE(PumpUntil([&] { return !disconnects_.empty(); })) << "no OnPipeDisconnect";
  EXPECT_EQ(disconnects_, std::vector<HPIPE>{first});
  EXPECT_EQ(server_->ClientCount(), 1);
  EXPECT_EQ(server_->GetClient(0), connects_[1]);
  EXPECT_FALSE(server_->Write(first, "x", 1));
  EXPECT_TRUE(errors_.empty()) << "first error code " << errors_[0].code;
}

// A client that writes its request and leaves at once, while a record is on its way to it:
// the write fails, but the request that had already arrived is still delivered.
TEST_F(PipeServerMessages, RequestOfAClientThatLeftAtOnceIsStillDelivered) {
  const std::string record = Pattern(1025, 4);
  server_->SetOnPipeConnect([&](TObject*, HPIPE pipe) {
    connects_.push_back(pipe);
    server_->Write(pipe, record.data(), static_cast<int32_t>(record.size()));
  });
  const int kClients = 40;
  for (int i = 0; i < kClients; ++i) {
    RawPipe client;
    ASSERT_TRUE(client.Open(name_));
    ASSERT_TRUE(client.Send("request " + std::to_string(i)));
    client.Close();
  }
  ASSERT_TRUE(PumpUntil([&] { return messages_.size() == kClients; }))
      << messages_.size() << " of " << kClients << " requests delivered";
  ASSERT_TRUE(PumpUntil([&] { return disconnects_.size() == kClients; }));
  for (int i = 0; i < kClients; ++i) EXPECT_EQ(messages_[i].bytes, "request " + std::to_string(i));
}

// The connection's handle stays open until its entry has left the registry, so the value
// cannot be handed to the next connection while the old entry can still be found by it.
TEST_F(PipeServerMessages, HandleValueIsHeldUntilTheEntryIsGone) {
  RawPipe a;
  Connect(a);
  HANDLE pipe = reinterpret_cast<HANDLE>(connects_[0]);
  PumpFor(50);  // let the I/O thread settle into its wait
  TSyncWait armed;  // nothing is pending now, so the signal is reset
  a.Close();
  // The only main-thread call the ending thread makes is its termination handler.
  ASSERT_EQ(WaitForSingleObject(armed.Signal(), 10000), WAIT_OBJECT_0) << "thread did not end";
  DWORD flags = 0;
  EXPECT_TRUE(GetHandleInformation(pipe, &flags)) << "handle closed while still registered";
  EXPECT_EQ(server_->ClientCount(), 1);
  ASSERT_TRUE(PumpUntil([&] { return server_->ClientCount() == 0; }));
}

TEST_F(PipeServerMessages, DeactivationEndsEveryConnectionQuietlyAndReactivationServesAgain) {
  std::vector<std::unique_ptr<RawPipe>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<RawPipe>());
    ASSERT_TRUE(clients.back()->Open(name_));
    ASSERT_TRUE(PumpUntil([&] { return connects_.size() == clients.size(); }));
  }
  server_->SetActive(false);
  EXPECT_FALSE(server_->Active());
  EXPECT_EQ(server_->ClientCount(), 0);
  for (auto& c : clients) {
    EXPECT_EQ(c->Receive(2000), std::nullopt);
    EXPECT_NE(c->LastError(), static_cast<DWORD>(WAIT_TIMEOUT)) << "pipe still connected";
  }
  PumpFor(100);
  EXPECT_TRUE(disconnects_.empty());
  EXPECT_TRUE(errors_.empty());
  RawPipe late;
  EXPECT_FALSE(late.Open(name_, 300)) << "the name is still served";

  std::wstring second = UniqueName(L"again");
  server_->SetPipeName(second);
  server_->SetActive(true);
  RawPipe again;
  ASSERT_TRUE(again.Open(second));
  ASSERT_TRUE(again.Send("back"));
  ASSERT_TRUE(PumpUntil([&] { return !messages_.empty(); }));
  EXPECT_EQ(messages_.back().bytes, "back");
}

}  // namespace
}  // namespace velotarn::test
