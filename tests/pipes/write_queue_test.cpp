// Write records and the write queue: copies, order, and the data event's invariant.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>

#include "pipes/write_queue.h"

namespace velotarn::test {
namespace {

bool Signalled(const TWriteQueue& q) { return WaitForSingleObject(q.DataEvent(), 0) == WAIT_OBJECT_0; }

TEST(PipeWrite, RecordIsAPrivateCopyAndEmptyRecordHasNoBuffer) {
  char bytes[] = "abc";
  unique_pipe_write record(NewPipeWrite(bytes, 3));
  bytes[0] = 'X';  // the caller may reuse its memory at once
  ASSERT_EQ(record->Count, 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record->Buffer), 3), "abc");
  unique_pipe_write empty(NewPipeWrite(nullptr, 0));
  EXPECT_EQ(empty->Count, 0);
  EXPECT_EQ(empty->Buffer, nullptr);
  FreePipeWrite(nullptr);  // allowed
}

TEST(WriteQueue, RecordsComeOutInOrderAndTheEventTracksTheCount) {
  TWriteQueue q;
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(q.DataEvent(), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  EXPECT_FALSE(Signalled(q));
  EXPECT_EQ(q.Dequeue(), nullptr) << "empty queue gave a record";
  EXPECT_FALSE(Signalled(q));

  for (int n = 1; n <= 3; ++n) {
    std::string text(static_cast<size_t>(n), static_cast<char>('0' + n));
    q.Enqueue(NewPipeWrite(text.data(), n));
    EXPECT_TRUE(Signalled(q));
  }
  EXPECT_EQ(q.Count(), 3);
  for (int n = 1; n <= 3; ++n) {
    unique_pipe_write record(q.Dequeue());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->Count, n);
    EXPECT_EQ(record->Buffer[0], '0' + n);
    EXPECT_EQ(Signalled(q), n < 3) << "after " << n << " of 3 taken";
  }
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.Dequeue(), nullptr);
  EXPECT_FALSE(Signalled(q));
}

TEST(WriteQueue, DropAllEmptiesAndResets) {
  TWriteQueue q;
  q.Enqueue(NewPipeWrite("a", 1));
  q.Enqueue(NewPipeWrite(nullptr, 0));
  q.DropAll();
  EXPECT_EQ(q.Count(), 0);
  EXPECT_FALSE(Signalled(q));
  EXPECT_EQ(q.Dequeue(), nullptr);
  q.Enqueue(NewPipeWrite("b", 1));  // usable again; destroying it with a record frees it
  EXPECT_TRUE(Signalled(q));
}

// The connection's thread takes what waits in one call: within the byte bound, but never
// nothing while records wait; what it gives back goes out before everything queued since.
TEST(WriteQueue, BatchesKeepOrderAndTheBoundAndRecordsPutBackGoFirst) {
  TWriteQueue q;
  TWriteBatch batch;
  EXPECT_EQ(q.DequeueBatch(batch, kMaxWriteBatchBytes), 0);
  EXPECT_TRUE(batch.empty());
  const std::string big(kMaxWriteBatchBytes + 1, 'B');
  q.Enqueue(NewPipeWrite(big.data(), static_cast<int32_t>(big.size())));
  for (int n = 0; n < 100; ++n) {
    std::string text(1000, static_cast<char>('a' + n % 26));
    q.Enqueue(NewPipeWrite(text.data(), static_cast<int32_t>(text.size())));
  }
  // A record larger than the bound goes alone.
  EXPECT_EQ(q.DequeueBatch(batch, kMaxWriteBatchBytes), kMaxWriteBatchBytes + 1);
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_TRUE(Signalled(q));
  // Then as many as fit, in order.
  batch.clear();
  EXPECT_EQ(q.DequeueBatch(batch, kMaxWriteBatchBytes), 65 * 1000);
  ASSERT_EQ(batch.size(), 65u);
  for (int n = 0; n < 65; ++n) EXPECT_EQ(batch[n]->Buffer[0], 'a' + n % 26) << "record " << n;
  EXPECT_EQ(q.Bytes(), 35 * 1000);

  // Records 60..64 were not written: they go back in front of 65..99 and of a new one.
  q.Enqueue(NewPipeWrite("new", 3));
  TWriteBatch unwritten(std::make_move_iterator(batch.begin() + 60),
                        std::make_move_iterator(batch.end()));
  q.PutBack(std::move(unwritten));
  EXPECT_EQ(q.Count(), 41);
  EXPECT_EQ(q.Bytes(), 40 * 1000 + 3);
  batch.clear();
  EXPECT_EQ(q.DequeueBatch(batch, 1 << 30), 40 * 1000 + 3);
  ASSERT_EQ(batch.size(), 41u);
  for (int n = 60; n < 100; ++n) EXPECT_EQ(batch[n - 60]->Buffer[0], 'a' + n % 26) << "record " << n;
  EXPECT_EQ(batch.back()->Count, 3);
  EXPECT_FALSE(Signalled(q));

  // Given back to an empty queue, records raise its event again.
  TWriteBatch again;
  again.push_back(std::move(batch.back()));
  q.PutBack(std::move(again));
  EXPECT_TRUE(Signalled(q));
  EXPECT_EQ(q.Count(), 1);
}

}  // namespace
}  // namespace velotarn::test
