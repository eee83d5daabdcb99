// Write records and the write queue: copies, order, and the data event's invariant.
#include <gtest/gtest.h>

#include <cstring>
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

}  // namespace
}  // namespace velotarn::test
