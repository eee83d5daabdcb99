#include "pipes/write_queue.h"

#include <cassert>
#include <cstring>
#include <iterator>
#include <utility>

#include "runtime/exceptions.h"
#include "runtime/synchronize.h"

namespace velotarn {

PPipeWrite NewPipeWrite(const void* Buffer, int32_t Count) {
  assert(Count >= 0);
  unique_pipe_write record(new TPipeWrite{});
  record->Count = Count;
  if (Count > 0) {
    record->Buffer = new uint8_t[static_cast<size_t>(Count)];
    std::memcpy(record->Buffer, Buffer, static_cast<size_t>(Count));
  }
  return record.release();
}

void FreePipeWrite(PPipeWrite PipeWrite) {
  if (PipeWrite == nullptr) return;
  delete[] PipeWrite->Buffer;
  delete PipeWrite;
}

TWriteQueue::TWriteQueue() : FDataEv(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!FDataEv) RaiseLastOSError();
}

TWriteQueue::~TWriteQueue() { DropAll(); }

void TWriteQueue::Enqueue(PPipeWrite PipeWrite) {
  assert(IsMainThread());
  unique_pipe_write record(PipeWrite);
  const int32_t count = record ? record->Count : 0;
  FNodes.push_back(std::move(record));
  FBytes += count;
  // The event is already set while the queue holds anything.
  if (FNodes.size() == 1) SetEvent(FDataEv.get());
}

PPipeWrite TWriteQueue::Dequeue() {
  assert(IsMainThread());
  if (FNodes.empty()) return nullptr;  // the event is already reset
  unique_pipe_write record = std::move(FNodes.front());
  FNodes.pop_front();
  if (record) FBytes -= record->Count;
  if (FNodes.empty()) ResetEvent(FDataEv.get());
  return record.release();
}

int64_t TWriteQueue::DequeueBatch(TWriteBatch& Batch, int64_t MaxBytes) {
  assert(IsMainThread());
  if (FNodes.empty()) return 0;  // the event is already reset
  int64_t taken = 0;
  size_t records = 0;
  while (!FNodes.empty()) {
    const int64_t count = FNodes.front() ? FNodes.front()->Count : 0;
    if (records > 0 && taken + count > MaxBytes) break;
    Batch.push_back(std::move(FNodes.front()));
    FNodes.pop_front();
    taken += count;
    ++records;
  }
  FBytes -= taken;
  if (FNodes.empty()) ResetEvent(FDataEv.get());
  return taken;
}

void TWriteQueue::PutBack(TWriteBatch Records) {
  assert(IsMainThread());
  if (Records.empty()) return;
  const bool was_empty = FNodes.empty();
  for (const unique_pipe_write& record : Records) FBytes += record ? record->Count : 0;
  FNodes.insert(FNodes.begin(), std::make_move_iterator(Records.begin()),
                std::make_move_iterator(Records.end()));
  if (was_empty) SetEvent(FDataEv.get());
}

void TWriteQueue::DropAll() {
  ResetEvent(FDataEv.get());
  FNodes.clear();
  FBytes = 0;
}

}  // namespace velotarn
