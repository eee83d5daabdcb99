#include "pipes/write_queue.h"

#include <cassert>
#include <cstring>

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

void TWriteQueue::DropAll() {
  ResetEvent(FDataEv.get());
  FNodes.clear();
  FBytes = 0;
}

}  // namespace velotarn
