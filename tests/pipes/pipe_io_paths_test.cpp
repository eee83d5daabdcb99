// The paths of a connection's I/O loop that the other pipe suites leave to chance: which read
// takes a message of exactly one receive buffer and of one byte more (a read that completes at
// once, one that fails at once with ERROR_MORE_DATA, a waiting read that completes, a waiting
// read that completes with ERROR_MORE_DATA), on the server's and the client's connection
// threads alike; a deactivation that meets a write the client never takes; the server end
// disconnecting a client component; a second activation.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pipe_server_fixture.h"
#include "pipes/pipe_client.h"
#include "pipes/pipe_io_thread.h"

namespace velotarn::test {
namespace {

constexpr size_t kBuffer = TPipeIOThread::kReceiveSize;

DWORD BytesWaiting(HANDLE pipe) {
  DWORD available = 0;
  return PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) ? available : 0;
}

// Overlapped writes of several messages, all issued before the main loop runs again (so that
// the component's threads cannot take their turn in between), then waited for with pumping.
class WritesInFlight {
 public:
  WritesInFlight(HANDLE pipe, const std::vector<std::string>& messages)
      : pipe_(pipe), writes_(messages.size()) {
    for (size_t i = 0; i < messages.size(); ++i) {
      Write& w = writes_[i];
      w.bytes = messages[i];
      w.event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      w.ol.hEvent = w.event.get();
      DWORD ignored = 0;
      w.issued = WriteFile(pipe, w.bytes.data(), static_cast<DWORD>(w.bytes.size()), &ignored,
                           &w.ol) || GetLastError() == ERROR_IO_PENDING;
    }
  }
  ~WritesInFlight() {
    CancelIo(pipe_);  // the OVERLAPPEDs go with this object
    DWORD ignored = 0;
    for (Write& w : writes_)
      if (w.issued) GetOverlappedResult(pipe_, &w.ol, &ignored, TRUE);
  }
  WritesInFlight(const WritesInFlight&) = delete;
  WritesInFlight& operator=(const WritesInFlight&) = delete;

  // True when every write was issued and has written its whole message.
  bool Finish(DWORD timeout_ms = 10000) {
    for (const Write& w : writes_)
      if (!w.issued) return false;
    if (!PumpUntil([&] {
          for (const Write& w : writes_)
            if (WaitForSingleObject(w.event.get(), 0) != WAIT_OBJECT_0) return false;
          return true;
        }, timeout_ms))
      return false;
    for (Write& w : writes_) {
      DWORD written = 0;
      if (!GetOverlappedResult(pipe_, &w.ol, &written, FALSE) || written != w.bytes.size())
        return false;
    }
    return true;
  }

 private:
  struct Write {
    std::string bytes;
    unique_handle event;
    OVERLAPPED ol{};
    bool issued = false;
  };
  HANDLE pipe_;
  std::vector<Write> writes_;  // never resized: the system holds the OVERLAPPEDs' addresses
};

void ExpectSameMessages(const std::vector<std::string>& got, const std::vector<std::string>& sent) {
  std::string sizes;
  for (const std::string& m : got) sizes += std::to_string(m.size()) + " ";
  ASSERT_EQ(got.size(), sent.size()) << "messages split or merged on the way; sizes: " << sizes;
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(got[i].size(), sent[i].size()) << "message " << i;
    EXPECT_TRUE(got[i] == sent[i]) << "message " << i << " changed on the way";
  }
}

// A component with one connection to a raw peer, seen by the read-path scenarios below.
class ReadPaths {
 protected:
  virtual ~ReadPaths() = default;
  virtual bool QueueRecord(const std::string& bytes) = 0;  // one message for the peer
  virtual RawPipe& Peer() = 0;
  virtual std::vector<std::string> Received() const = 0;
  virtual size_t ErrorCount() const = 0;
  // Queues "hold" so that the connection thread comes for it in a dequeue call, and returns
  // once that call is pending (Armed is signalled; the main thread does not run it).
  virtual void QueueHeldRecord(const TSyncWait& Armed) {
    ASSERT_TRUE(QueueRecord("hold"));
    ASSERT_EQ(WaitForSingleObject(Armed.Signal(), 10000), WAIT_OBJECT_0)
        << "the connection thread never asked for the record";
  }

  // Messages arrive in order: once the last one ("end") is in, every message before it is, and
  // a message cut in two or joined to the next shows in the count.
  void ExpectDeliveredUpToTheEnd(const std::vector<std::string>& sent) {
    ASSERT_TRUE(PumpUntil([&] { return !Received().empty() && Received().back() == "end"; }))
        << Received().size() << " messages delivered, the last one missing";
    ExpectSameMessages(Received(), sent);
  }

  // The connection thread is held in its dequeue call (the main thread does not run it) with
  // its read waiting; the peer then writes a short lead and the messages under test. The lead
  // completes the waiting read; the others are all in the pipe when the next read is issued,
  // so each is taken, in a row, by a read that completes at once (4096 bytes) or by one that
  // fails at once with ERROR_MORE_DATA and a second one for the byte left (4097 bytes).
  void MessagesAlreadyInThePipe() {
    const std::vector<std::string> sent = {"lead", Pattern(kBuffer, 1), Pattern(kBuffer + 1, 2),
                                           Pattern(kBuffer + 1, 3), Pattern(kBuffer, 4), "end"};
    TSyncWait armed;
    CheckSynchronize();  // leaves nothing pending: the signal is reset
    QueueHeldRecord(armed);
    if (::testing::Test::HasFatalFailure()) return;
    {
      WritesInFlight writes(Peer().Handle(), sent);
      ASSERT_TRUE(writes.Finish()) << "the peer's messages were not all taken";
    }
    ExpectDeliveredUpToTheEnd(sent);
    EXPECT_EQ(Peer().Receive(), std::optional<std::string>("hold"));
    EXPECT_EQ(ErrorCount(), 0u);
  }

  // Before each message the component sends the peer a record and the peer takes it: that
  // record was fetched after the previous message had been delivered, in a pass that first
  // issued the next read, so that read is waiting when the peer writes. 4096 bytes complete
  // it; 4097 bytes complete it with ERROR_MORE_DATA and a second read takes the byte left.
  void MessagesMeetAWaitingRead() {
    const std::vector<std::string> sent = {Pattern(kBuffer, 5), Pattern(kBuffer + 1, 6),
                                           Pattern(kBuffer + 1, 7), Pattern(kBuffer, 8), "end"};
    for (size_t i = 0; i + 1 < sent.size(); ++i) {
      const std::string turn = "turn " + std::to_string(i);
      ASSERT_TRUE(QueueRecord(turn));
      ASSERT_EQ(Peer().Receive(), std::optional<std::string>(turn));
      ASSERT_TRUE(Peer().Send(sent[i])) << "message " << i << " not taken";
      ASSERT_TRUE(PumpUntil([&] { return Received().size() > i; }))
          << "message " << i << " not delivered";
    }
    ASSERT_TRUE(Peer().Send(sent.back()));
    ExpectDeliveredUpToTheEnd(sent);
    EXPECT_EQ(ErrorCount(), 0u);
  }
};

// The server's connection thread reading from a raw client.
class PipeIoServer : public PipeServerFixture, public ReadPaths {
 protected:
  void SetUp() override {
    PipeServerFixture::SetUp();
    ASSERT_TRUE(client_.Open(name_));
    ASSERT_TRUE(PumpUntil([&] { return connects_.size() == 1; })) << "no OnPipeConnect";
    pipe_ = connects_[0];
  }
  bool QueueRecord(const std::string& bytes) override {
    return server_->Write(pipe_, bytes.data(), static_cast<int32_t>(bytes.size()));
  }
  RawPipe& Peer() override { return client_; }
  std::vector<std::string> Received() const override {
    std::vector<std::string> bytes;
    for (const auto& m : messages_) bytes.push_back(m.pipe == pipe_ ? m.bytes : "<other pipe>");
    return bytes;
  }
  size_t ErrorCount() const override { return errors_.size(); }
  // A record for an idle connection goes to its thread at once: "first" is written (and waits
  // for the client), "second" waits in the hand-off behind it, and only "hold" is queued, so
  // the thread has to come for it once the client has taken the other two.
  void QueueHeldRecord(const TSyncWait& Armed) override {
    ASSERT_TRUE(QueueRecord("first"));
    ASSERT_TRUE(PumpUntil([&] { return BytesWaiting(client_.Handle()) >= 5; }))
        << "the first record was never written";
    ASSERT_TRUE(QueueRecord("second"));
    ASSERT_TRUE(QueueRecord("hold"));
    EXPECT_EQ(client_.Receive(10000, PlainWait), std::optional<std::string>("first"));
    EXPECT_EQ(client_.Receive(10000, PlainWait), std::optional<std::string>("second"));
    ASSERT_EQ(WaitForSingleObject(Armed.Signal(), 10000), WAIT_OBJECT_0)
        << "the connection thread never asked for the record";
  }

  RawPipe client_;
  HPIPE pipe_ = 0;
};

TEST_F(PipeIoServer, MessagesAlreadyInThePipeAreReadAtOnce) { MessagesAlreadyInThePipe(); }
TEST_F(PipeIoServer, MessagesMeetAWaitingRead) { MessagesMeetAWaitingRead(); }

// The client component's connection thread reading from a raw server instance.
class PipeIoClient : public ::testing::Test, public ReadPaths {
 protected:
  void SetUp() override {
    name_ = UniqueName(L"io");
    ASSERT_TRUE(server_.Create(name_));
    client_.SetPipeName(name_);
    client_.SetOnPipeDisconnect([this](TObject*, HPIPE p) { disconnects_.push_back(p); });
    client_.SetOnPipeMessage([this](TObject*, HPIPE, TMemoryStream* s) {
      std::string bytes(static_cast<size_t>(s->Size()), '\0');
      s->Read(bytes.data(), s->Size());
      messages_.push_back(bytes);
    });
    client_.SetOnPipeSent([this](TObject*, HPIPE, uint32_t n) { sent_.push_back(n); });
    client_.SetOnPipeError([this](TObject*, HPIPE p, TPipeContext c, int32_t code) {
      errors_.push_back({p, c, code});
    });
    ASSERT_TRUE(client_.Connect(5000));
    ASSERT_TRUE(server_.Accept());
  }
  void TearDown() override { client_.Disconnect(true); }

  bool QueueRecord(const std::string& bytes) override {
    return client_.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
  }
  RawPipe& Peer() override { return server_; }
  std::vector<std::string> Received() const override { return messages_; }
  size_t ErrorCount() const override { return errors_.size(); }

  // The connection has ended with its disconnect event, and no error was raised nor is one
  // still on its way (the thread posts an error before its end is handled).
  void ExpectQuietEnd() {
    ASSERT_TRUE(PumpUntil([&] { return !disconnects_.empty(); })) << "no OnPipeDisconnect";
    EXPECT_EQ(disconnects_.size(), 1u);
    EXPECT_FALSE(client_.Connected());
    for (const PipeError& e : errors_) ADD_FAILURE() << "OnPipeError raised, code " << e.code;
    MSG queued{};
    EXPECT_FALSE(PeekMessageW(&queued, client_.WindowHandle(), WM_PIPE_ERROR_WORKER,
                              WM_PIPE_ERROR_WORKER, PM_NOREMOVE))
        << "an error is still on its way, code " << queued.lParam;
    EXPECT_TRUE(sent_.empty()) << "a write that failed was reported as sent";
  }

  std::wstring name_;
  RawPipe server_;
  TPipeClient client_{nullptr};
  std::vector<HPIPE> disconnects_;
  std::vector<std::string> messages_;
  std::vector<uint32_t> sent_;
  std::vector<PipeError> errors_;
};

TEST_F(PipeIoClient, MessagesAlreadyInThePipeAreReadAtOnce) { MessagesAlreadyInThePipe(); }
TEST_F(PipeIoClient, MessagesMeetAWaitingRead) { MessagesMeetAWaitingRead(); }

// The server disconnects while the client's read waits and its write waits for a reader that
// never comes: both fail with ERROR_PIPE_NOT_CONNECTED, the server's normal way of ending.
TEST_F(PipeIoClient, ServerDisconnectWhileAWriteWaitsIsADisconnectOnly) {
  const std::string big = Pattern(70000, 11);
  ASSERT_TRUE(client_.Write(big.data(), static_cast<int32_t>(big.size())));
  ASSERT_TRUE(PumpUntil([&] { return BytesWaiting(server_.Handle()) >= big.size(); }))
      << "the record was never written";
  ASSERT_TRUE(server_.Disconnect());
  ExpectQuietEnd();
}

// The server disconnects while the client's thread is in its dequeue call: the write that
// follows fails at once with ERROR_PIPE_NOT_CONNECTED.
TEST_F(PipeIoClient, WriteAfterTheServerDisconnectedIsADisconnectOnly) {
  TSyncWait armed;
  CheckSynchronize();  // leaves nothing pending: the signal is reset
  ASSERT_TRUE(client_.Write("late", 4));
  ASSERT_EQ(WaitForSingleObject(armed.Signal(), 10000), WAIT_OBJECT_0)
      << "the client thread never asked for the record";
  ASSERT_TRUE(server_.Disconnect());
  ExpectQuietEnd();
}

class PipeIoServerLife : public PipeServerFixture {};

// A client that never reads: the record's write waits for ever. Deactivation ends that
// connection at once all the same and leaves no pipe thread behind.
TEST_F(PipeIoServerLife, DeactivationEndsAConnectionWhoseWriteWaits) {
  server_->SetActive(false);
  const DWORD threads_before = ThreadCount();
  server_->SetActive(true);
  RawPipe client;
  Connect(client);
  const std::string record = Pattern(kMaxServerWrite, 12);
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(server_->Write(connects_[0], record.data(), kMaxServerWrite));
  ASSERT_TRUE(PumpUntil([&] { return BytesWaiting(client.Handle()) >= record.size(); }))
      << "the first record was never written";
  ASSERT_TRUE(sent_.empty()) << "a write finished with nobody reading";

  const ULONGLONG start = GetTickCount64();
  server_->SetActive(false);
  const ULONGLONG took = GetTickCount64() - start;
  EXPECT_LT(took, 5000u) << "deactivation took " << took << " ms";
  EXPECT_FALSE(server_->Active());
  EXPECT_EQ(server_->ClientCount(), 0);
  EXPECT_LE(ThreadCount(), threads_before) << "a pipe thread outlived the deactivation";
  EXPECT_FALSE(client.Receive(2000).has_value()) << "a record of the ended connection arrived";
  EXPECT_EQ(client.LastError(), static_cast<DWORD>(ERROR_PIPE_NOT_CONNECTED));
  EXPECT_TRUE(sent_.empty()) << "a cancelled write was reported as sent";
  EXPECT_TRUE(errors_.empty());
  EXPECT_TRUE(disconnects_.empty());
}

TEST_F(PipeIoServerLife, ActivatingTwiceStartsOneListener) {
  server_->SetActive(false);
  const DWORD threads_before = ThreadCount();
  server_->SetActive(true);
  const DWORD threads_once = ThreadCount();
  server_->SetActive(true);
  EXPECT_TRUE(server_->Active());
  EXPECT_EQ(threads_once, threads_before + 1);
  EXPECT_EQ(ThreadCount(), threads_once) << "the second activation started a thread";

  RawPipe client;
  ASSERT_TRUE(client.Open(name_));
  ASSERT_TRUE(client.Send("ping"));
  ASSERT_TRUE(PumpUntil([&] { return messages_.size() == 1; })) << "client not served";
  ASSERT_TRUE(server_->Write(messages_[0].pipe, "pong", 4));
  EXPECT_EQ(client.Receive(), std::optional<std::string>("pong"));
  EXPECT_EQ(ThreadCount(), threads_before + 2) << "expected the listener and one connection";

  server_->SetActive(false);
  EXPECT_LE(ThreadCount(), threads_before) << "a pipe thread outlived the deactivation";
  RawPipe late;
  EXPECT_FALSE(late.Open(name_, 300)) << "the name is still served";
  EXPECT_TRUE(errors_.empty());
}

}  // namespace
}  // namespace velotarn::test
