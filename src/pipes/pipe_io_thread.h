#pragma once
// TPipeIOThread: the I/O loop of one pipe connection, shared by the server's and the client's
// connection threads. It reads the peer's messages (reassembling each one whatever its length)
// and posts every complete message to the owner's window; it fetches the records queued for
// the connection through a synchronous main-thread call and writes each as one message, one at
// a time; any failure ends the connection.
//
// The thread owns the connection's handle, its own copies of the owner's kill event and of the
// queue's data event, and its read and write events, so nothing it waits on can be closed under
// it. The pipe is disconnected when the loop ends but its handle is closed only with the thread
// object, after the termination handler has run on the main thread: the handle value therefore
// cannot be handed to a new connection while this one is still registered under it.
//
// The owner ends one connection by setting its end event: the loop then ends as on a failure,
// reporting kErrorPeerNotReading, and the peer's next read fails instead of waiting.
//
// Threading: created on the main thread; Execute and the destructor run on the thread itself.
// Pipe() may be read from any thread.

#include <windows.h>

#include <memory>
#include <vector>

#include "pipes/pipe_thread.h"
#include "pipes/pipe_types.h"
#include "pipes/write_queue.h"
#include "runtime/memory_stream.h"

namespace velotarn {

class TPipeLink;

// Everything a connection thread is given, made before the thread exists so that starting one
// cannot fail half-way.
struct TPipeIOHandles {
  unique_handle Pipe;
  unique_handle Kill;   // own duplicate of the owner's kill event
  unique_handle End;    // own duplicate of the connection's end event (see kErrorPeerNotReading)
  unique_handle Data;   // own duplicate of the write queue's data event
  unique_handle Read;   // read completion
  unique_handle Write;  // write completion

  // Takes Pipe over only when every other handle could be made (raises EOSError otherwise,
  // leaving Pipe with the caller).
  static TPipeIOHandles Make(unique_handle& Pipe, HANDLE KillEvent, HANDLE EndEvent,
                             HANDLE DataEvent);
};

class TPipeIOThread : public TPipeThread {
 public:
  // Size of the receive buffer at the start of every message.
  static constexpr DWORD kReceiveSize = 4096;

  HPIPE Pipe() const noexcept { return FPipeValue; }

 protected:
  TPipeIOThread(std::shared_ptr<TPipeLink> Link, TPipeIOHandles Handles, DWORD ExemptError);
  ~TPipeIOThread() override;

  void Execute() override;

  // Runs on the main thread: the connection's next record (now the caller's) or null. May raise.
  virtual PPipeWrite DequeueOnOwner() = 0;

  TPipeLink& Link() const noexcept { return *FLink; }
  // Posts to the owner's window, trying again while the main thread's queue is full; false
  // when the owner is gone or the thread is killed meanwhile.
  bool PostToOwner(UINT Msg, LPARAM LParam);

 private:
  bool StartRead();
  bool FinishRead();
  bool ReadMore();  // the rest of a message after ERROR_MORE_DATA
  bool PostReceived();
  bool StartWrite();
  bool FinishWrite();
  void ReportSent();  // only when the owner handles completed writes
  void TakeArrivedMessages();  // before the loop ends on a failure
  void EndConnection();
  HANDLE PipeHandle() const noexcept { return FPipe.get(); }

  std::shared_ptr<TPipeLink> FLink;
  unique_handle FPipe;
  const HPIPE FPipeValue;
  const DWORD FExemptError;  // the error that is the peer's normal way of leaving
  DWORD FErrorCode = 0;
  DWORD FWrite = 0;
  unique_pipe_write FPipeWrite;
  DWORD FRcvRead = 0;
  bool FPendingRead = false;
  bool FPendingWrite = false;
  bool FDataSignalled = false;  // the last wait ended on the data event
  TMemoryStream FRcvStream;
  std::vector<uint8_t> FRcvBuffer;
  unique_handle FKillEv;
  unique_handle FEndEv;
  unique_handle FReadEv;
  unique_handle FWriteEv;
  unique_handle FDataEv;
  HANDLE FEvents[5];  // wait order is priority order: kill, end, read, write, new data
  OVERLAPPED FOlapRead{};
  OVERLAPPED FOlapWrite{};
};

}  // namespace velotarn
