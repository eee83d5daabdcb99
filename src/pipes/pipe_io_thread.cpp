#include "pipes/pipe_io_thread.h"

#include <cassert>
#include <cstring>

#include "pipes/pipe_link.h"

namespace velotarn {

TPipeIOHandles TPipeIOHandles::Make(unique_handle Pipe, HANDLE KillEvent, HANDLE EndEvent,
                                    HANDLE DataEvent) {
  TPipeIOHandles handles;
  handles.Kill = DuplicateOwnHandle(KillEvent);
  handles.End = DuplicateOwnHandle(EndEvent);
  handles.Data = DuplicateOwnHandle(DataEvent);
  handles.Read = NewEvent(/*ManualReset=*/true);
  handles.Write = NewEvent(/*ManualReset=*/true);
  handles.Mailbox = std::make_shared<TWriteMailbox>();
  handles.Pipe = std::move(Pipe);
  return handles;
}

TPipeIOThread::TPipeIOThread(std::shared_ptr<TPipeLink> Link, TPipeIOHandles Handles,
                             DWORD ExemptError, uint64_t Id)
    : TPipeThread(std::move(Link)),
      FPipe(std::move(Handles.Pipe)),
      FPipeValue(reinterpret_cast<HPIPE>(FPipe.get())),
      FExemptError(ExemptError),
      FId(Id),
      FRcvBuffer(kReceiveSize),
      FKillEv(std::move(Handles.Kill)),
      FEndEv(std::move(Handles.End)),
      FEndReason(std::move(Handles.EndReason)),
      FReadEv(std::move(Handles.Read)),
      FWriteEv(std::move(Handles.Write)),
      FDataEv(std::move(Handles.Data)),
      FMailbox(std::move(Handles.Mailbox)) {
  FOlapRead.hEvent = FReadEv.get();
  FOlapWrite.hEvent = FWriteEv.get();
}

// Runs on the thread after its termination handler: only now may the handle value be reused.
TPipeIOThread::~TPipeIOThread() = default;

void TPipeIOThread::Execute() {
  while (!Terminated()) {
    bool ok = StartRead();
    if (ok) ok = StartWrite();
    if (ok && Terminated()) break;  // the dequeue call raised: the owner is gone
    if (ok) {
      // Wait order is priority order: kill, end, read, then the write outstanding or, without
      // one, new records (queued, or in the mailbox). New records wait while a write is
      // outstanding (they are taken once the batch has been written), or the queue's event
      // would wake us again and again; the write event is left out without a write, as a
      // write that completed at once leaves it set.
      HANDLE events[5] = {FKillEv.get(), FEndEv.get(), FReadEv.get(),
                          FPendingWrite ? FWriteEv.get() : FDataEv.get(), FMailbox->Event()};
      DWORD result = WaitForMultipleObjects(FPendingWrite ? 4 : 5, events, FALSE, INFINITE);
      switch (result) {
        case WAIT_OBJECT_0:
          Terminate();  // the owner's kill event: no error to report
          break;
        case WAIT_OBJECT_0 + 1:
          // The owner ends this connection.
          FErrorCode = FEndReason ? FEndReason->load() : kErrorPeerNotReading;
          ok = false;
          break;
        case WAIT_OBJECT_0 + 2:
          ok = FinishRead();
          break;
        case WAIT_OBJECT_0 + 3:
          if (FPendingWrite)
            ok = FinishWrite();
          else
            FDataSignalled = true;  // new records: the next pass takes them
          break;
        case WAIT_OBJECT_0 + 4:
          break;  // records in the mailbox: the next pass takes them
        default:
          FErrorCode = GetLastError();
          ok = false;
      }
    }
    if (!ok) {
      TakeArrivedMessages();
      if (FErrorCode != FExemptError)
        PostToOwner(WM_PIPE_ERROR_WORKER, static_cast<LPARAM>(FErrorCode));
      Terminate();
    }
  }
  EndConnection();
}

bool TPipeIOThread::StartRead() {
  if (FPendingRead) return true;
  FRcvStream.Clear();
  FRcvBuffer.resize(kReceiveSize);
  bool ok = true;
  while (ok && !FPendingRead) {
    DWORD size = static_cast<DWORD>(FRcvBuffer.size());
    if (ReadFile(PipeHandle(), FRcvBuffer.data(), size, &FRcvRead, &FOlapRead)) {
      FErrorCode = 0;
      FRcvStream.Write(FRcvBuffer.data(), FRcvRead);
      ok = PostReceived();
      continue;  // reads that complete at once are taken in a row
    }
    FErrorCode = GetLastError();
    if (FErrorCode == ERROR_MORE_DATA) {
      ok = ReadMore();
    } else if (FErrorCode == ERROR_IO_PENDING) {
      FPendingRead = true;
    } else {
      ok = false;
    }
  }
  return ok;
}

// The buffer is full and the message goes on: keep what was read and size the buffer to the
// exact rest of the message.
bool TPipeIOThread::ReadMore() {
  FRcvStream.Write(FRcvBuffer.data(), static_cast<int64_t>(FRcvBuffer.size()));
  DWORD left = 0;
  if (!PeekNamedPipe(PipeHandle(), nullptr, 0, nullptr, nullptr, &left)) {
    FErrorCode = GetLastError();
    return false;
  }
  FRcvBuffer.resize(left);
  return true;
}

bool TPipeIOThread::FinishRead() {
  ResetEvent(FReadEv.get());
  BOOL done = GetOverlappedResult(PipeHandle(), &FOlapRead, &FRcvRead, TRUE);
  for (;;) {
    if (done) {
      FErrorCode = 0;
      FRcvStream.Write(FRcvBuffer.data(), FRcvRead);
      FPendingRead = false;
      return PostReceived();  // the next pass issues the next read
    }
    FErrorCode = GetLastError();
    if (FErrorCode != ERROR_MORE_DATA) return false;
    if (!ReadMore()) return false;
    DWORD size = static_cast<DWORD>(FRcvBuffer.size());
    done = ReadFile(PipeHandle(), FRcvBuffer.data(), size, &FRcvRead, &FOlapRead);
    if (!done && GetLastError() == ERROR_IO_PENDING) return true;  // still pending
  }
}

bool TPipeIOThread::PostReceived() {
  SIZE_T size = static_cast<SIZE_T>(FRcvStream.Size());
  unique_hglobal block(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size));
  if (!block) {
    FErrorCode = GetLastError();
    return false;
  }
  if (size > 0) {
    GlobalLockGuard lock(block.get());
    if (lock.data() == nullptr) {
      FErrorCode = GetLastError();
      return false;
    }
    std::memcpy(lock.data(), FRcvStream.Memory(), size);
  }
  // The block belongs to the window once posted; a failed post leaves it with us to free.
  if (PostToOwner(WM_PIPE_MESSAGE, reinterpret_cast<LPARAM>(block.get())))
    (void)block.release();
  FRcvStream.Clear();
  return true;
}

bool TPipeIOThread::StartWrite() {
  if (FPendingWrite) return true;
  for (;;) {
    if (FNext == FBatch.size()) {
      // The batch is written: the next one is taken once records wait.
      FBatch.clear();
      FNext = 0;
      if (!TakeBatch()) return true;
    }
    const TPipeWrite* record = FBatch[FNext].get();
    if (record == nullptr) {
      ++FNext;
      continue;
    }
    static const uint8_t kNothing = 0;  // a zero-length message still needs a buffer address
    const void* bytes = record->Buffer != nullptr ? record->Buffer : &kNothing;
    // A write that completes at once leaves its event set: the wait leaves that event out
    // while no write is outstanding, and the next write resets it.
    if (!WriteFile(PipeHandle(), bytes, static_cast<DWORD>(record->Count), &FWrite,
                   &FOlapWrite)) {
      FErrorCode = GetLastError();
      if (FErrorCode != ERROR_IO_PENDING) return false;  // the record stays unwritten
      FPendingWrite = true;
      return true;
    }
    FErrorCode = 0;
    RecordWritten();
  }
}

bool TPipeIOThread::TakeBatch() {
  // The mailbox first: what it holds is older than anything queued.
  if (FMailbox->Take(FBatch)) return true;
  if (!FDataSignalled) return false;  // the wait has not seen the queue's event
  FDataSignalled = false;
  GuardedSynchronize(this, [this] { DequeueOnOwner(); });
  return !FBatch.empty();
}

bool TPipeIOThread::FinishWrite() {
  FPendingWrite = false;
  if (!GetOverlappedResult(PipeHandle(), &FOlapWrite, &FWrite, TRUE)) {
    FErrorCode = GetLastError();
    return false;  // the record stays unwritten
  }
  RecordWritten();
  return true;  // the next pass writes the batch's next record
}

void TPipeIOThread::RecordWritten() {
  ReportSent();
  FBatch[FNext++].reset();
}

TWriteBatch TPipeIOThread::TakeUnwritten() {
  assert(IsMainThread());
  FBatch.erase(FBatch.begin(), FBatch.begin() + static_cast<ptrdiff_t>(FNext));
  FNext = 0;
  FMailbox->Reclaim(FBatch);
  return std::move(FBatch);
}

void TPipeIOThread::ReportSent() {
  if (Link().ReportSends()) PostToOwner(WM_PIPE_SENT, static_cast<LPARAM>(FWrite));
}

bool TPipeIOThread::PostToOwner(UINT Msg, LPARAM LParam) {
  return Link().Post(Msg, FPipeValue, LParam, FKillEv.get());
}

void TPipeIOThread::DequeueOnOwner() {
  TPipeOwner* owner = Link().Owner();
  if (owner == nullptr) throw EPipeException(L"The pipe component is gone");
  FMailbox->Reclaim(FBatch);  // an offer made after our look goes out before the queue
  owner->DequeueWrites(*this, FBatch);
}

// A peer that writes its last messages and closes its end at once can make a write fail
// before the read that holds those messages has been taken in: the connection ends all the
// same, but not before every message that has already arrived is delivered. The failure being
// reported stays the one that ended the loop.
void TPipeIOThread::TakeArrivedMessages() {
  const DWORD failure = FErrorCode;
  bool ok = true;
  if (FPendingRead) ok = WaitForSingleObject(FReadEv.get(), 0) == WAIT_OBJECT_0 && FinishRead();
  // Messages still in the pipe are taken while reads complete at once; the first read that
  // would wait, or fails, ends this.
  if (ok) StartRead();
  FErrorCode = failure;
}

void TPipeIOThread::EndConnection() {
  if (FErrorCode == ERROR_INVALID_HANDLE) {
    // The handle is no longer ours: closing it could close somebody else's object.
    (void)FPipe.release();
    return;
  }
  // Operations in flight refer to the buffers and OVERLAPPEDs of this object: cancel them and
  // wait until they have really finished before anything is freed.
  if (FPendingRead || FPendingWrite) {
    CancelIo(PipeHandle());
    DWORD ignored = 0;
    if (FPendingRead) GetOverlappedResult(PipeHandle(), &FOlapRead, &ignored, TRUE);
    // A write that finished before the cancel took effect has been written all the same.
    if (FPendingWrite && GetOverlappedResult(PipeHandle(), &FOlapWrite, &ignored, TRUE))
      FBatch[FNext++].reset();
    FPendingRead = FPendingWrite = false;
  }
  // Server end: the peer sees the pipe break now. Client end: fails, harmlessly.
  DisconnectNamedPipe(PipeHandle());
}

}  // namespace velotarn
