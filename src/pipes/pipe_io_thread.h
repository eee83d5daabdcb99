#pragma once
// TPipeIOThread: the I/O loop of one pipe connection, of a server's client or of a client
// component. It reads the peer's messages (reassembling each one whatever its length)
// and posts every complete message to the owner's window; it takes what its owner handed it in
// the connection's mailbox (TWriteMailbox), else every record queued for the connection (up to
// kMaxWriteBatchBytes) in one synchronous main-thread call (TPipeOwner::DequeueWrites), and
// writes them one after another, each as one message, one write outstanding at a time; any
// failure ends the connection. The error that is the peer's normal way of leaving
// (ERROR_BROKEN_PIPE for a server's client closing its end, ERROR_PIPE_NOT_CONNECTED for a
// server ending a client's connection) is not reported.
//
// The thread owns the connection's handle, its own copies of the owner's kill event and of the
// queue's data event, and its read and write events, and shares the mailbox (and so its event)
// with the owner, so nothing it waits on can be closed under it. The pipe is disconnected when
// the loop ends but its handle is closed only with the thread object, after the termination
// handler has run on the main thread: the handle value therefore cannot be handed to a new
// connection while this one is still registered under it.
//
// The owner ends one connection by storing the reason in the connection's end reason and then
// setting its end event: the loop then ends as on a failure, reporting that reason
// (kErrorPeerNotReading when no reason is shared), and the peer's next read fails instead of
// waiting.
//
// Records taken but not written when the loop ends (the one whose write failed or was cancelled,
// and those after it, then those still in the mailbox) stay with the thread: its owner takes
// them back in its termination handler (TakeUnwritten), or they go with the thread.
//
// Threading: made on the main thread by NewPipeThread; Execute and the destructor run on the
// thread itself. Pipe() and Id() may be read from any thread; TakeUnwritten is for the
// termination handler, on the main thread, while the thread waits for it.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "pipes/pipe_thread.h"
#include "pipes/pipe_types.h"
#include "pipes/write_mailbox.h"
#include "pipes/write_queue.h"
#include "runtime/memory_stream.h"

namespace velotarn {

// Everything a connection thread is given, made before the thread exists so that starting one
// cannot fail half-way.
struct TPipeIOHandles {
  unique_handle Pipe;
  unique_handle Kill;   // own duplicate of the owner's kill event
  unique_handle End;    // own duplicate of the connection's end event (see kErrorPeerNotReading)
  unique_handle Data;   // own duplicate of the write queue's data event
  unique_handle Read;   // read completion
  unique_handle Write;  // write completion
  // Why the owner set the end event; written by the owner before it sets the event.
  std::shared_ptr<const std::atomic<int32_t>> EndReason;
  // Records the owner hands over without a dequeue call; made by Make, shared with the owner.
  std::shared_ptr<TWriteMailbox> Mailbox;

  // Makes every event handle and the mailbox (raises EOSError when one cannot be made), then
  // takes Pipe.
  static TPipeIOHandles Make(unique_handle Pipe, HANDLE KillEvent, HANDLE EndEvent,
                             HANDLE DataEvent);
};

class TPipeIOThread final : public TPipeThread {
 public:
  // Size of the receive buffer at the start of every message.
  static constexpr DWORD kReceiveSize = 4096;

  // For NewPipeThread only. Id is the component's own name for the connection.
  TPipeIOThread(std::shared_ptr<TPipeLink> Link, TPipeIOHandles Handles, DWORD ExemptError,
                uint64_t Id);
  ~TPipeIOThread() override;

  HPIPE Pipe() const noexcept { return FPipeValue; }
  uint64_t Id() const noexcept { return FId; }

  // The records taken and not written, then those left in the mailbox, in their order; the
  // loop has ended.
  TWriteBatch TakeUnwritten();

 protected:
  void Execute() override;

 private:
  // Runs on the main thread: fills the empty batch with the mailbox's records, then the
  // connection's waiting records; raises when the component is gone.
  void DequeueOnOwner();
  // Posts to the owner's window, trying again while the main thread's queue is full; false
  // when the owner is gone or the thread is killed meanwhile.
  bool PostToOwner(UINT Msg, LPARAM LParam);
  bool StartRead();
  bool FinishRead();
  bool ReadMore();  // the rest of a message after ERROR_MORE_DATA
  bool PostReceived();
  bool StartWrite();  // writes the batch's records until one waits, taking a batch when due
  bool TakeBatch();   // the mailbox's records, else the queue's when it has shown any
  bool FinishWrite();
  void RecordWritten();  // FBatch[FNext] has been written
  void ReportSent();  // only when the owner handles completed writes
  void TakeArrivedMessages();  // before the loop ends on a failure
  void EndConnection();
  HANDLE PipeHandle() const noexcept { return FPipe.get(); }

  unique_handle FPipe;
  const HPIPE FPipeValue;
  const DWORD FExemptError;  // the error that is the peer's normal way of leaving
  const uint64_t FId;
  DWORD FErrorCode = 0;
  DWORD FWrite = 0;
  TWriteBatch FBatch;  // taken in the last dequeue call; its capacity is kept from one to the next
  size_t FNext = 0;    // FBatch[FNext] is being written, or is written next
  DWORD FRcvRead = 0;
  bool FPendingRead = false;
  bool FPendingWrite = false;
  bool FDataSignalled = false;  // the last wait ended on the data event
  TMemoryStream FRcvStream;
  std::vector<uint8_t> FRcvBuffer;
  unique_handle FKillEv;
  unique_handle FEndEv;
  std::shared_ptr<const std::atomic<int32_t>> FEndReason;
  unique_handle FReadEv;
  unique_handle FWriteEv;
  unique_handle FDataEv;
  const std::shared_ptr<TWriteMailbox> FMailbox;

  OVERLAPPED FOlapRead{};
  OVERLAPPED FOlapWrite{};
};

}  // namespace velotarn
