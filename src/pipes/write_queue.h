#pragma once
// Write records and the write queue of one pipe connection. A record is a private copy of the
// bytes of one outgoing message; the queue holds the records not yet taken by the connection's
// I/O thread, and its data event is signalled exactly while it holds any. The I/O thread takes
// every waiting record, up to kMaxWriteBatchBytes, in one dequeue call: a batch.
//
// Threading: a queue is used on the main thread only (the component's Write enqueues, the
// I/O thread's synchronous dequeue call takes). The I/O thread only waits on a duplicate of the
// data event and never touches the queue itself; a batch, once taken, is the I/O thread's.

#include <windows.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "runtime/handles.h"

namespace velotarn {

struct TPipeWrite {
  uint8_t* Buffer = nullptr;  // null when Count is 0
  int32_t Count = 0;
};
using PPipeWrite = TPipeWrite*;

// Copies Count (>= 0) bytes of Buffer into a new record; the caller may reuse its memory at once.
PPipeWrite NewPipeWrite(const void* Buffer, int32_t Count);
// Frees the record and its bytes; null is allowed.
void FreePipeWrite(PPipeWrite PipeWrite);

struct PipeWriteDeleter {
  void operator()(PPipeWrite p) const noexcept { FreePipeWrite(p); }
};
using unique_pipe_write = std::unique_ptr<TPipeWrite, PipeWriteDeleter>;

// Records taken from a queue in one dequeue call, oldest first.
using TWriteBatch = std::vector<unique_pipe_write>;

// The most bytes of records one dequeue call takes; a single larger record is taken alone.
constexpr int64_t kMaxWriteBatchBytes = 64 * 1024;

class TWriteQueue {
 public:
  TWriteQueue();  // raises EOSError when the event cannot be made
  ~TWriteQueue();
  TWriteQueue(const TWriteQueue&) = delete;
  TWriteQueue& operator=(const TWriteQueue&) = delete;

  // Takes ownership of the record, appends it and sets the data event.
  void Enqueue(PPipeWrite PipeWrite);
  // The oldest record (now the caller's) or null; resets the event once the queue is empty.
  PPipeWrite Dequeue();
  // Appends the oldest records to Batch, oldest first: at least one when there is any, then
  // as many more as keep the bytes taken within MaxBytes. Resets the event once the queue is
  // empty. Returns the bytes taken.
  int64_t DequeueBatch(TWriteBatch& Batch, int64_t MaxBytes);
  // Puts Records back in front of the queue, in their order, and sets the event when it holds
  // any: records taken but never written go out before everything queued after them.
  void PutBack(TWriteBatch Records);
  // Frees every queued record unsent; resets the event first.
  void DropAll();

  HANDLE DataEvent() const noexcept { return FDataEv.get(); }
  int32_t Count() const noexcept { return static_cast<int32_t>(FNodes.size()); }
  // The bytes of the records queued (their Count, added up).
  int64_t Bytes() const noexcept { return FBytes; }

 private:
  unique_handle FDataEv;
  std::deque<unique_pipe_write> FNodes;
  int64_t FBytes = 0;
};

}  // namespace velotarn
