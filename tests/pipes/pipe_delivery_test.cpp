// What the pipe server must never lose or let grow: messages and connections when the main
// thread's queue refuses posts or the main thread is busy, and the records of a client that
// stopped reading.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "pipe_server_fixture.h"
#include "pipes/pipe_link.h"
#include "pipes/write_queue.h"
#include "runtime/application.h"
#include "runtime/scope_exit.h"

namespace velotarn::test {
namespace {

std::atomic<int> g_refused{0};

// Refuses every other post of a connection or a message, as a full message queue would.
BOOL WINAPI RefuseEveryOtherPost(HWND window, UINT msg, WPARAM wparam, LPARAM lparam) {
  static std::atomic<unsigned> seen{0};
  if ((msg == WM_PIPE_MESSAGE || msg == WM_PIPE_CONNECT) && seen++ % 2 == 0) {
    ++g_refused;
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  return PostMessageW(window, msg, wparam, lparam);
}

class PipeDelivery : public PipeServerFixture {};

// What reaches the application's error handling (the service's event log) while it lives.
struct LoggedErrors {
  std::vector<std::wstring> texts;
  LoggedErrors() {
    Application->OnException = [this](TObject*, const Exception& e) { texts.push_back(e.Message()); };
  }
  ~LoggedErrors() { Application->OnException = nullptr; }
  LoggedErrors(const LoggedErrors&) = delete;
  LoggedErrors& operator=(const LoggedErrors&) = delete;
};

TEST_F(PipeDelivery, RefusedPostsAreTriedAgainUntilTakenInOrder) {
  TPipeLink::SetPostFunction(&RefuseEveryOtherPost);
  ScopeExit restore{[] { TPipeLink::SetPostFunction(nullptr); }};
  g_refused = 0;
  RawPipe clients[3];
  for (RawPipe& client : clients) ASSERT_TRUE(client.Open(name_));
  ASSERT_TRUE(PumpUntil([&] { return connects_.size() == 3; })) << "a connection was lost";
  for (int n = 0; n < 40; ++n)
    ASSERT_TRUE(clients[n % 3].Send(Pattern(100 + n, n)));
  ASSERT_TRUE(PumpUntil([&] { return messages_.size() == 40; }))
      << messages_.size() << " of 40 messages arrived";
  EXPECT_GT(g_refused.load(), 10);
  // Each connection's messages in the order its client sent them (the connections' threads
  // post side by side, so only that order is defined).
  for (int c = 0; c < 3; ++c) {
    std::vector<std::string> got, sent;
    for (const Received& m : messages_)
      if (m.pipe == connects_[c]) got.push_back(m.bytes);
    for (int n = c; n < 40; n += 3) sent.push_back(Pattern(100 + n, n));
    EXPECT_EQ(got, sent) << "client " << c;
  }
  EXPECT_TRUE(errors_.empty());
}

TEST_F(PipeDelivery, AMainThreadHeldBusyLosesNothingAndKeepsEachClientsOrder) {
  constexpr int kClients = 10, kEach = 100;
  std::vector<RawPipe> clients(kClients);
  for (RawPipe& client : clients) ASSERT_TRUE(client.Open(name_));
  ASSERT_TRUE(PumpUntil([&] { return connects_.size() == kClients; }));
  for (RawPipe& client : clients) client.SetWait(PlainWait);  // the writer thread must not pump
  // The main thread blocks in the join: every message piles up in its queue meanwhile.
  std::thread writer([&] {
    for (int n = 0; n < kEach; ++n)
      for (int c = 0; c < kClients; ++c)
        if (!clients[c].Send(Pattern(64, c * kEach + n), 30000)) return;
  });
  writer.join();
  ASSERT_TRUE(PumpUntil([&] { return messages_.size() == kClients * kEach; }, 30000))
      << messages_.size() << " of " << kClients * kEach << " messages arrived";
  std::vector<int> next(kClients, 0);
  for (const Received& m : messages_) {
    const int c = static_cast<int>(
        std::find(connects_.begin(), connects_.end(), m.pipe) - connects_.begin());
    ASSERT_LT(c, kClients) << "a message from a connection never announced";
    EXPECT_EQ(m.bytes, Pattern(64, c * kEach + next[c]++)) << "client " << c << " out of order";
  }
}

TEST_F(PipeDelivery, AClientThatStopsReadingIsEndedAtTheBound) {
  LoggedErrors errors;
  const std::vector<std::wstring>& logged = errors.texts;
  RawPipe slow;
  Connect(slow);
  const HPIPE pipe = connects_[0];
  const std::string record = Pattern(kMaxServerWrite, 7);

  // Nothing is read: the records pile up in the connection's queue until the bound.
  int queued = 0;
  while (server_->Write(pipe, record.data(), kMaxServerWrite)) ++queued;
  EXPECT_GE(queued, kMaxQueuedBytes / kMaxServerWrite);
  EXPECT_LE(queued, kMaxQueuedBytes / kMaxServerWrite + 2);
  EXPECT_FALSE(server_->Write(pipe, "x", 1)) << "an ended connection still takes records";

  ASSERT_TRUE(PumpUntil([&] { return disconnects_.size() == 1; })) << "the connection stayed";
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0].pipe, pipe);
  EXPECT_EQ(errors_[0].context, pcWorker);
  EXPECT_EQ(errors_[0].code, kErrorPeerNotReading);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find(L"stopped reading"), std::wstring::npos) << logged[0];
  EXPECT_EQ(server_->ClientCount(), 0);

  // The client's next read fails instead of waiting; the server takes the next client.
  EXPECT_FALSE(slow.Receive(5000).has_value());
  EXPECT_TRUE(slow.LastError() == ERROR_PIPE_NOT_CONNECTED ||
              slow.LastError() == ERROR_BROKEN_PIPE)
      << slow.LastError();
  RawPipe next;
  Connect(next);
  ASSERT_TRUE(server_->Write(connects_[1], "hello", 5));
  EXPECT_EQ(next.Receive(), std::optional<std::string>("hello"));
}

// Records queued while the main thread is busy are taken by the connection's thread in a few
// batches: each still arrives whole, in order, and raises its own sent event.
TEST_F(PipeDelivery, RecordsTakenTogetherArriveWholeInOrderEachReportedSent) {
  RawPipe client;
  Connect(client);
  const HPIPE pipe = connects_[0];
  std::vector<std::string> records;
  for (int n = 0; n < 300; ++n) {
    records.push_back(Pattern(n % 50 == 7 ? 0 : 1 + (n * 997) % 4000, n));
    ASSERT_TRUE(server_->Write(pipe, records.back().data(),
                               static_cast<int32_t>(records.back().size())));
  }
  for (size_t n = 0; n < records.size(); ++n) {
    std::optional<std::string> got = client.Receive();
    ASSERT_TRUE(got.has_value()) << "record " << n << " did not arrive, error " << client.LastError();
    ASSERT_TRUE(*got == records[n]) << "record " << n << " changed, " << got->size() << " bytes";
  }
  ASSERT_TRUE(PumpUntil([&] { return sent_.size() == records.size(); }))
      << sent_.size() << " sent events for " << records.size() << " records";
  for (size_t n = 0; n < records.size(); ++n)
    EXPECT_EQ(sent_[n], (Sent{pipe, static_cast<uint32_t>(records[n].size())})) << "record " << n;
  EXPECT_TRUE(errors_.empty());
}

// The records a connection's thread has taken (and cannot write to a client that does not
// read) and those still queued stay within the bound together with one batch.
TEST_F(PipeDelivery, TheBoundHoldsWhileTheConnectionsThreadTakesBatches) {
  LoggedErrors logged;
  RawPipe slow;
  Connect(slow);
  const HPIPE pipe = connects_[0];
  const std::string record = Pattern(1025, 9);
  TSyncWait armed;
  CheckSynchronize();  // leaves nothing pending: the signal is reset
  // The client's reads end as soon as the connection's thread comes for the queued records.
  const TWait until_dequeue = [&armed](HANDLE event, DWORD timeout_ms) {
    const HANDLE events[2] = {event, armed.Signal()};
    return WaitForMultipleObjects(2, events, FALSE, timeout_ms) == WAIT_OBJECT_0;
  };
  int64_t accepted = 0;
  // The records written while the queue is empty go straight to the idle connection's thread,
  // as many as it takes between two writes: the client reads those until the thread asks for
  // the queue, and then reads no more.
  while (WaitForSingleObject(armed.Signal(), 0) != WAIT_OBJECT_0) {
    if (accepted == 0) {
      for (int n = 0; n < 100; ++n, accepted += 1025)
        ASSERT_TRUE(server_->Write(pipe, record.data(), 1025));
    }
    if (slow.Receive(10000, until_dequeue).has_value()) {
      accepted -= 1025;  // no longer held
      continue;
    }
    ASSERT_EQ(WaitForSingleObject(armed.Signal(), 0), WAIT_OBJECT_0)
        << "the connection's thread never came for the records, error " << slow.LastError();
  }
  CheckSynchronize();  // it takes a batch, writes its first record and waits for the client
  while (server_->Write(pipe, record.data(), 1025)) accepted += 1025;
  EXPECT_GE(accepted, kMaxQueuedBytes - 1025);
  EXPECT_LE(accepted, kMaxQueuedBytes + kMaxWriteBatchBytes);
  ASSERT_TRUE(PumpUntil([&] { return disconnects_.size() == 1; })) << "the connection stayed";
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0].code, kErrorPeerNotReading);
  EXPECT_EQ(logged.texts.size(), 1u);
}

// A full queue holds back whoever feeds it from another thread's work until the client has read
// it down to the low mark, or until the connection has gone.
TEST_F(PipeDelivery, AFullQueueHoldsWritersBackUntilReadDownOrGone) {
  RawPipe client;
  Connect(client);
  const HPIPE pipe = connects_[0];
  const std::string record = Pattern(1025, 4);
  EXPECT_FALSE(server_->RoomSignal(pipe).valid()) << "an empty queue counts as full";
  EXPECT_FALSE(server_->RoomSignal(pipe + 4).valid()) << "an unknown pipe counts as full";
  // Writes records until the queue is full; returns their bytes.
  auto fill = [&] {
    int64_t queued = 0;
    while (!server_->RoomSignal(pipe).valid() && queued <= kMaxQueuedBytes) {
      EXPECT_TRUE(server_->Write(pipe, record.data(), 1025));
      queued += 1025;
    }
    return queued;
  };
  const int64_t queued = fill();
  EXPECT_GE(queued, kQueueHighWater);
  // The records written while the connection was idle went to its thread at once and are not
  // queued: the first, and as many more as the thread took between two writes before the
  // pipe stopped taking them, which depends on when it ran. Fewer than a batch in any case.
  EXPECT_LE(queued, kQueueHighWater + kMaxWriteBatchBytes) << "not full at the high mark";
  unique_handle room = server_->RoomSignal(pipe);
  EXPECT_EQ(WaitForSingleObject(room.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  size_t read = 0;
  while (WaitForSingleObject(room.get(), 0) != WAIT_OBJECT_0) {
    ASSERT_TRUE(client.Receive().has_value()) << "record " << read << " did not arrive";
    ++read;
  }
  EXPECT_GE(read, static_cast<size_t>((kQueueHighWater - kQueueLowWater) / 1025 - 64 - 2));
  EXPECT_FALSE(server_->RoomSignal(pipe).valid()) << "still full once read down";

  const int64_t refilled = fill();
  EXPECT_LE(refilled, kQueueHighWater - kQueueLowWater + kMaxWriteBatchBytes + 1025);
  room = server_->RoomSignal(pipe);
  client.Close();
  ASSERT_TRUE(PumpUntil([&] { return disconnects_.size() == 1; })) << "the connection stayed";
  EXPECT_EQ(WaitForSingleObject(room.get(), 0), WAIT_OBJECT_0) << "held back for a gone client";
  EXPECT_FALSE(server_->RoomSignal(pipe).valid());
}

// A record written while nothing waits for the connection reaches the client while the main
// thread runs no synchronous call: the connection's thread needs no dequeue call for it.
TEST_F(PipeDelivery, ARecordForAnIdleConnectionNeedsNoCallIntoTheMainThread) {
  RawPipe client;
  Connect(client);
  const HPIPE pipe = connects_[0];
  for (int n = 0; n < 20; ++n) {
    const std::string record = Pattern(1 + n * 50, n);
    ASSERT_TRUE(server_->Write(pipe, record.data(), static_cast<int32_t>(record.size())));
    // PlainWait: the main thread only blocks while the client reads.
    std::optional<std::string> got = client.Receive(10000, PlainWait);
    ASSERT_TRUE(got.has_value()) << "record " << n << " waited for the main thread";
    ASSERT_TRUE(*got == record) << "record " << n << " changed";
  }
  ASSERT_TRUE(PumpUntil([&] { return sent_.size() == 20; })) << sent_.size() << " sent events";
  EXPECT_TRUE(errors_.empty());
}

// Records handed straight to the connection's thread and records queued behind them, in every
// mix that the timing of the main thread, the connection's thread and the client gives: each
// arrives once, whole and in order, with its own sent event.
TEST_F(PipeDelivery, RecordsHandedOverAtOnceAndQueuedOnesKeepOneOrder) {
  RawPipe client;
  Connect(client);
  const HPIPE pipe = connects_[0];
  constexpr int kRounds = 200;
  size_t total = 0;
  for (int round = 0; round < kRounds; ++round) total += 1 + round % 3;
  std::vector<std::string> received;
  std::thread reader([&] {
    while (received.size() < total) {
      std::optional<std::string> got = client.Receive(20000, PlainWait);
      if (!got) return;
      received.push_back(std::move(*got));
    }
  });
  ScopeExit join{[&] {
    if (reader.joinable()) reader.join();
  }};
  std::vector<std::string> records;
  for (int round = 0; round < kRounds; ++round) {
    for (int k = 0; k < 1 + round % 3; ++k) {
      const size_t n = records.size();
      records.push_back(Pattern(1 + (n * 389) % 1500, static_cast<unsigned>(n)));
      ASSERT_TRUE(server_->Write(pipe, records.back().data(),
                                 static_cast<int32_t>(records.back().size())));
    }
    // Now and then the main thread runs the pending calls, or lets the client catch up.
    if (round % 4 == 1) CheckSynchronize();
    if (round % 7 == 3) {
      ASSERT_TRUE(PumpUntil([&] { return sent_.size() == records.size(); }));
    }
  }
  ASSERT_TRUE(PumpUntil([&] { return sent_.size() == total; }))
      << sent_.size() << " of " << total << " records written";
  reader.join();
  ASSERT_EQ(received.size(), total) << "records went missing";
  for (size_t n = 0; n < total; ++n)
    ASSERT_TRUE(received[n] == records[n]) << "record " << n << " out of order or changed";
  for (size_t n = 0; n < total; ++n)
    EXPECT_EQ(sent_[n], (Sent{pipe, static_cast<uint32_t>(records[n].size())})) << "record " << n;
  EXPECT_TRUE(errors_.empty());
}

}  // namespace
}  // namespace velotarn::test
