#include "pipes/write_mailbox.h"

#include <cassert>
#include <utility>

#include "pipes/pipe_thread.h"
#include "runtime/synchronize.h"

namespace velotarn {

TWriteMailbox::TWriteMailbox() : FEvent(NewEvent(/*ManualReset=*/false)) {}

bool TWriteMailbox::Offer(unique_pipe_write& Record) {
  assert(IsMainThread());
  if (FFull.load(std::memory_order_acquire)) return false;
  assert(FRecords.empty());
  FRecords.push_back(std::move(Record));
  FFull.store(true, std::memory_order_release);
  SetEvent(FEvent.get());
  return true;
}

bool TWriteMailbox::Take(TWriteBatch& Batch) {
  assert(Batch.empty());
  if (!FFull.load(std::memory_order_acquire)) return false;
  FRecords.swap(Batch);  // the box keeps the batch's room for the next offer
  FFull.store(false, std::memory_order_release);
  return true;
}

void TWriteMailbox::Reclaim(TWriteBatch& Batch) {
  assert(IsMainThread());
  if (!FFull.load(std::memory_order_acquire)) return;
  for (unique_pipe_write& record : FRecords) Batch.push_back(std::move(record));
  FRecords.clear();
  FFull.store(false, std::memory_order_release);
}

}  // namespace velotarn
