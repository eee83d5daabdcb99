#pragma once
// TPipeServer: serves the local named pipe \\.\pipe\<PipeName> to any number of clients at
// once. A listener thread creates one instance at a time and hands each connected instance to
// the component, which registers the client with its own write queue and starts an I/O thread
// for it. Pipe threads never call into the program: they post notifications to the
// component's hidden window, whose procedure raises the events below on the owning thread.
//
// Threading: created, used and destroyed on the main thread only. Every property, method and
// event runs there; pipe threads reach the component only by posting to its window and by
// synchronous main-thread calls (hand-off, dequeue, termination), which the main thread runs
// from its loop. Threads that outlive the component are detached from it on destruction and
// never touch it again.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pipes/notify_window.h"
#include "pipes/pipe_link.h"
#include "pipes/pipe_name.h"
#include "pipes/pipe_thread.h"
#include "pipes/pipe_types.h"
#include "runtime/component.h"
#include "runtime/handles.h"

namespace velotarn {

class TPipeListenThread;
class TPipeIOThread;
struct TClientEntry;

// Largest message (bytes) that TPipeServer::Write and Broadcast accept.
constexpr int32_t kMaxServerWrite = 65535;

// Back-pressure: a hand-off that finds more than this many pipe threads (listener plus I/O
// threads) pauses the listener; it listens again once an ending I/O thread leaves at most
// kResumeThreadCount.
constexpr int kSuspendThreadCount = 101;
constexpr int kResumeThreadCount = 100;

// How long deactivation waits for the pipe threads to end.
constexpr DWORD kStopWaitMs = 10000;

// The most bytes of records that may wait in one connection's queue: 4 MiB, about 4,000 reply
// records. A client that stops reading cannot make the service grow without limit: the write
// that would pass this ends its connection (see Write). A client that keeps reading never
// comes near it as long as whoever writes faster than it reads holds back while the queue is
// full (see RoomSignal).
constexpr int64_t kMaxQueuedBytes = 4 * 1024 * 1024;

// Flow control: a connection's queue that reaches kQueueHighWater bytes is full until its
// thread has taken it down to kQueueLowWater. The megabyte below kMaxQueuedBytes is for what a
// writer adds before it looks again.
constexpr int64_t kQueueHighWater = kMaxQueuedBytes - 1024 * 1024;
constexpr int64_t kQueueLowWater = kQueueHighWater - 1024 * 1024;
// A full queue from which the connection's thread has taken nothing for this long is a client's
// that stopped reading: nobody is held back for it, and the bound decides.
constexpr DWORD kStalledClientMs = 5000;

class TPipeServer : public TComponent, private TNotifyHandler, private TPipeOwner {
 public:
  explicit TPipeServer(TComponent* AOwner);
  ~TPipeServer() override;

  // Writing True starts the listener, writing False stops every pipe thread (waiting up to
  // kStopWaitMs while the main thread keeps dispatching).
  bool Active() const noexcept { return FActive; }
  void SetActive(bool Value);

  // Name without the \\.\pipe\ prefix; "PipeServer" after construction. Refused while active
  // ("Cannot change property while server is active!"), then validated.
  const std::wstring& PipeName() const noexcept { return FPipeName; }
  void SetPipeName(const std::wstring& Value);

  // Who may open the pipe: SID strings that get read and write access instead of Everyone
  // (no value: Everyone; an empty list: nobody but SYSTEM, Administrators and the server's own
  // account). Refused while active, like PipeName.
  const std::optional<std::vector<std::wstring>>& ClientSids() const noexcept {
    return FClientSids;
  }
  void SetClientSids(std::optional<std::vector<std::wstring>> Value);

  HWND WindowHandle() const noexcept { return FHwnd.get(); }

  // The registered clients, oldest first. GetClient raises EListError outside 0..Count-1.
  int ClientCount() const noexcept;
  HPIPE GetClient(int Index) const;
  HPIPE Clients(int Index) const { return GetClient(Index); }
  // True while Pipe is a registered connection that has not been ended: its handle is then
  // open and still names that connection, so the caller may use it (to identify its client).
  bool HasClient(HPIPE Pipe) const;

  // Queues a private copy of Count bytes (0..kMaxServerWrite) as one message for Pipe. True
  // means queued (OnPipeSent or OnPipeError follows); False for an unknown pipe or a bad Count.
  // A record written while nothing else waits for the connection is handed to its thread at
  // once (TWriteMailbox), without waiting for the thread's dequeue call.
  // A write that would take the connection's queue past kMaxQueuedBytes is refused and ends
  // that connection as one whose client stopped reading: its queue is dropped, the instance is
  // disconnected and closed (the client's next read fails), OnPipeError with
  // kErrorPeerNotReading and OnPipeDisconnect follow, and the error goes to the application's
  // error handling (the service's event log) once. Later writes to it are refused.
  bool Write(HPIPE Pipe, const void* Buffer, int32_t Count);
  // Ends the connection of Pipe as one whose client stopped reading is ended, without the log
  // entry: its queue is dropped, the instance is disconnected and closed (the client's next
  // read fails), OnPipeError with Reason and OnPipeDisconnect follow. False for an unknown
  // pipe or one already ending.
  bool EndClient(HPIPE Pipe, int32_t Reason);
  // Write to every client, newest first, stopping at the first refusal. True with no clients.
  bool Broadcast(const void* Buffer, int32_t Count);

  // For a writer that feeds Pipe from another thread's work, to hold that work back while the
  // client reads slower than it is fed. Empty while Pipe's queue is not full (and for an
  // unknown or ending pipe, and a client that looks stalled); else the caller's own handle to
  // an event that is set once the connection's thread has taken the queue down to
  // kQueueLowWater or the connection has ended. The wait for it need not last longer than
  // kStalledClientMs.
  unique_handle RoomSignal(HPIPE Pipe);

  const TOnPipeSent& OnPipeSent() const noexcept { return FOPS; }
  void SetOnPipeSent(TOnPipeSent Value);
  const TOnPipeConnect& OnPipeConnect() const noexcept { return FOPC; }
  void SetOnPipeConnect(TOnPipeConnect Value) { FOPC = std::move(Value); }
  const TOnPipeDisconnect& OnPipeDisconnect() const noexcept { return FOPD; }
  void SetOnPipeDisconnect(TOnPipeDisconnect Value) { FOPD = std::move(Value); }
  const TOnPipeMessage& OnPipeMessage() const noexcept { return FOPM; }
  void SetOnPipeMessage(TOnPipeMessage Value) { FOPM = std::move(Value); }
  const TOnPipeError& OnPipeError() const noexcept { return FOPE; }
  void SetOnPipeError(TOnPipeError Value) { FOPE = std::move(Value); }

 private:
  LRESULT HandleNotify(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) override;
  LRESULT WndProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);

  void StartListener();
  void StopListener();
  void WaitForThreads();

  // For the pipe threads, on the main thread. HandOff registers the client, takes the instance
  // over and makes its connection's thread, which the listener starts once it has announced
  // the connection.
  TPipeHandOff HandOff(unique_handle Pipe) override;
  void DequeueWrites(const TPipeIOThread& Thread, TWriteBatch& Batch) override;
  void ThreadTerminated(TPipeThread& Thread) override;

  void EndConnection(TClientEntry& Entry, int32_t Reason);
  void EndStalledClient(TClientEntry& Entry);
  void UnregisterClient(uint64_t EntryId);
  void WorkerTerminated(TPipeIOThread& Worker);
  void ListenerTerminated(TPipeListenThread& Listener);

  TClientEntry* FindLive(HPIPE Pipe) const;
  TClientEntry* FindEntry(uint64_t EntryId) const;

  unique_hwnd FHwnd;
  std::wstring FPipeName = L"PipeServer";
  std::optional<std::vector<std::wstring>> FClientSids;
  bool FActive = false;
  bool FInShutDown = false;
  bool FDestroying = false;  // no events any more: the owner may be half gone
  unique_handle FKillEv;
  std::vector<std::unique_ptr<TClientEntry>> FClients;
  TPipeListenThread* FListener = nullptr;
  int32_t FThreadCount = 0;
  bool FListenerPaused = false;
  uint64_t FNextEntryId = 1;
  TThreadExits FExits;  // ended pipe threads still on their way out
  std::shared_ptr<TPipeLink> FLink;  // shared with the pipe threads, detached on destruction
  TOnPipeSent FOPS;
  TOnPipeConnect FOPC;
  TOnPipeDisconnect FOPD;
  TOnPipeMessage FOPM;
  TOnPipeError FOPE;
};

}  // namespace velotarn
