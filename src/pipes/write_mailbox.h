#pragma once
// TWriteMailbox: hands records from the main thread straight to one connection's thread. A
// record written while nothing waits for the connection goes into the box, and the thread,
// woken by the box's event, takes it without a dequeue call: a single reply line then costs
// one wake-up of the connection's thread instead of a wake-up, a call into the main thread and
// a second wake-up when that call returns.
//
// The component offers a record only while its queue is empty, so whatever is in the box is
// older than everything queued; the thread takes the box before it asks for the queue's
// records, and a dequeue call takes the box's records back first (Reclaim). Order is kept.
//
// Threading: shared (std::shared_ptr) by the component's entry for the connection, on the main
// thread, and the connection's thread. The flag says whose turn it is: Offer runs on the main
// thread while the box is empty, Take on the connection's thread while it is full, and the
// flag's release and acquire hand the records over. Reclaim runs on the main thread while the
// connection's thread waits for it (its dequeue call, its termination handler) or has ended.

#include <windows.h>

#include <atomic>

#include "pipes/write_queue.h"
#include "runtime/handles.h"

namespace velotarn {

class TWriteMailbox {
 public:
  TWriteMailbox();  // raises EOSError when the event cannot be made
  TWriteMailbox(const TWriteMailbox&) = delete;
  TWriteMailbox& operator=(const TWriteMailbox&) = delete;

  // Set by every offer (auto-reset): the connection's thread waits on it while it has nothing
  // to write.
  HANDLE Event() const noexcept { return FEvent.get(); }

  // Main thread: moves Record into the box and sets the event when the box is empty; false,
  // with Record left as it was, while the connection's thread has not taken the last offer.
  bool Offer(unique_pipe_write& Record);
  // The connection's thread: swaps the box's records into the empty Batch when there are any.
  bool Take(TWriteBatch& Batch);
  // Main thread, while the connection's thread waits for it: appends the box's records to
  // Batch and empties the box.
  void Reclaim(TWriteBatch& Batch);

 private:
  std::atomic<bool> FFull{false};
  TWriteBatch FRecords;  // the main thread's while FFull is false, the connection's while true
  const unique_handle FEvent;
};

}  // namespace velotarn
