#include "pipes/pipe_server.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <string>

#include "pipes/pipe_io_thread.h"
#include "pipes/pipe_listen_thread.h"
#include "pipes/write_mailbox.h"
#include "pipes/write_queue.h"
#include "runtime/application.h"
#include "runtime/scope_exit.h"
#include "runtime/synchronize.h"

namespace velotarn {

// One registered connection. Id is unique for the life of the component, so the connection's
// own thread always finds its own entry, whatever handle values the system hands out.
struct TClientEntry {
  HPIPE Pipe = 0;
  uint64_t Id = 0;
  std::unique_ptr<TWriteQueue> WriteQueue;
  std::shared_ptr<TWriteMailbox> Mailbox;  // shared with the connection's thread
  unique_handle EndEv;  // set to end the connection (a client not allowed or not reading)
  std::shared_ptr<std::atomic<int32_t>> EndReason;  // the error its thread reports then
  bool Ending = false;  // ended so: nothing more is queued for it
  // Flow control (see RoomSignal). The event is made when the queue first fills, and is set
  // while the queue is not full; a connection that goes leaves it set for whoever waits.
  unique_handle RoomEv;
  bool Full = false;
  ULONGLONG LastTaken = 0;  // when the connection's thread last took records

  ~TClientEntry() { SetRoom(); }
  void SetRoom() {
    if (!Full) return;
    Full = false;
    SetEvent(RoomEv.get());
  }
  // A failure to make the event leaves the queue without flow control: the bound still holds.
  void CheckFull() {
    if (Full || WriteQueue->Bytes() < kQueueHighWater) return;
    if (RoomEv) {
      ResetEvent(RoomEv.get());
    } else {
      RoomEv.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      if (!RoomEv) return;
    }
    Full = true;
  }
};

TPipeServer::TPipeServer(TComponent* AOwner) : TComponent(AOwner) {
  assert(IsMainThread());
  FKillEv = NewEvent(/*ManualReset=*/true);
  FHwnd = CreateNotifyWindow(this);
  FLink = std::make_shared<TPipeLink>(FHwnd.get(), static_cast<TPipeOwner*>(this));
}

TPipeServer::~TPipeServer() {
  assert(IsMainThread());
  FDestroying = true;
  StopListener();
  // Threads that outlived the wait keep their own handles; from now on their posts fail and
  // their main-thread calls find the link detached.
  FLink->Detach();
  DestroyNotifyWindow(FHwnd);
  FClients.clear();
}

void TPipeServer::SetOnPipeSent(TOnPipeSent Value) {
  assert(IsMainThread());
  FOPS = std::move(Value);
  FLink->SetReportSends(static_cast<bool>(FOPS));
}

void TPipeServer::SetActive(bool Value) {
  assert(IsMainThread());
  if (Value)
    StartListener();
  else
    StopListener();
}

void TPipeServer::SetClientSids(std::optional<std::vector<std::wstring>> Value) {
  assert(IsMainThread());
  if (FActive) throw EPipeException(L"Cannot change property while server is active!");
  FClientSids = std::move(Value);
}

void TPipeServer::SetPipeName(const std::wstring& Value) {
  assert(IsMainThread());
  if (FActive) throw EPipeException(L"Cannot change property while server is active!");
  ValidatePipeName(Value);
  FPipeName = Value;
}

int TPipeServer::ClientCount() const noexcept { return static_cast<int>(FClients.size()); }

HPIPE TPipeServer::GetClient(int Index) const {
  assert(IsMainThread());
  if (Index < 0 || Index >= ClientCount()) throw EListError(Index);
  return FClients[static_cast<size_t>(Index)]->Pipe;
}

bool TPipeServer::HasClient(HPIPE Pipe) const {
  assert(IsMainThread());
  const TClientEntry* entry = FindLive(Pipe);
  return entry != nullptr && !entry->Ending;
}

// A handle value belongs to one registered connection at a time: its thread keeps the handle
// open until the entry has been removed. The newest entry is searched first all the same.
TClientEntry* TPipeServer::FindLive(HPIPE Pipe) const {
  for (auto it = FClients.rbegin(); it != FClients.rend(); ++it)
    if ((*it)->Pipe == Pipe) return it->get();
  return nullptr;
}

TClientEntry* TPipeServer::FindEntry(uint64_t EntryId) const {
  for (auto it = FClients.rbegin(); it != FClients.rend(); ++it)
    if ((*it)->Id == EntryId) return it->get();
  return nullptr;
}

bool TPipeServer::Write(HPIPE Pipe, const void* Buffer, int32_t Count) {
  assert(IsMainThread());
  if (Count < 0 || Count > kMaxServerWrite || (Buffer == nullptr && Count > 0)) return false;
  TClientEntry* entry = FindLive(Pipe);
  if (entry == nullptr || entry->Ending) return false;
  if (entry->WriteQueue->Bytes() + Count > kMaxQueuedBytes) {
    EndStalledClient(*entry);
    return false;
  }
  unique_pipe_write record(NewPipeWrite(Buffer, Count));
  // Nothing waits for the connection: the record goes straight to its thread. That thread has
  // taken everything before it, so it is not stalled.
  if (entry->WriteQueue->Count() == 0 && entry->Mailbox->Offer(record)) {
    entry->LastTaken = GetTickCount64();
    return true;
  }
  entry->WriteQueue->Enqueue(record.release());
  entry->CheckFull();
  return true;
}

bool TPipeServer::EndClient(HPIPE Pipe, int32_t Reason) {
  assert(IsMainThread());
  TClientEntry* entry = FindLive(Pipe);
  if (entry == nullptr || entry->Ending) return false;
  EndConnection(*entry, Reason);
  return true;
}

unique_handle TPipeServer::RoomSignal(HPIPE Pipe) {
  assert(IsMainThread());
  TClientEntry* entry = FindLive(Pipe);
  if (entry == nullptr || entry->Ending || !entry->Full) return {};
  if (GetTickCount64() - entry->LastTaken >= kStalledClientMs) return {};
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), entry->RoomEv.get(), GetCurrentProcess(), &copy, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  return unique_handle(copy);  // none when it could not be made: nobody is held back
}

// The connection's thread does the ending (it owns the instance); the entry stays registered
// until that thread's termination handler has run, as for any connection that ends.
void TPipeServer::EndConnection(TClientEntry& Entry, int32_t Reason) {
  Entry.Ending = true;
  Entry.WriteQueue->DropAll();
  Entry.SetRoom();
  Entry.EndReason->store(Reason);
  SetEvent(Entry.EndEv.get());
}

void TPipeServer::EndStalledClient(TClientEntry& Entry) {
  const int64_t queued = Entry.WriteQueue->Bytes();
  EndConnection(Entry, kErrorPeerNotReading);
  if (Application != nullptr)
    Application->HandleError(this, EPipeException(L"A client of pipe " + FPipeName +
                                                  L" stopped reading: its connection was ended with " +
                                                  std::to_wstring(queued) +
                                                  L" bytes of messages waiting"));
}

bool TPipeServer::Broadcast(const void* Buffer, int32_t Count) {
  assert(IsMainThread());
  bool result = true;
  for (int index = ClientCount() - 1; index >= 0 && result; --index)
    result = Write(GetClient(index), Buffer, Count);
  return result;
}

void TPipeServer::StartListener() {
  if (FActive) return;
  // A fresh kill event per activation: a thread of an earlier activation that has not ended yet
  // still sees its own event set and cannot be revived by this one.
  unique_handle kill = NewEvent(/*ManualReset=*/true);
  TNewThread<TPipeListenThread> listener =
      TPipeListenThread::Make(FLink, FPipeName, FClientSids, kill.get());
  ++FThreadCount;
  FListener = listener.Start();
  FKillEv = std::move(kill);
  FListenerPaused = false;
  FActive = true;
}

void TPipeServer::StopListener() {
  if (!FActive) return;
  FInShutDown = true;
  SetEvent(FKillEv.get());  // wakes every pipe thread of this activation, a paused listener too
  ScopeExit done{[this] {
    FInShutDown = false;
    FActive = false;
  }};
  WaitForThreads();
}

// Keeps the main thread's work going (messages for every window and synchronous calls, which
// is how the threads' termination handlers run) until every pipe thread has ended, for at most
// kStopWaitMs, then lets the ended threads finish freeing themselves within the same bound.
// Blocks between steps; a quit message met here is posted again afterwards.
void TPipeServer::WaitForThreads() {
  const ULONGLONG deadline = GetTickCount64() + kStopWaitMs;
  bool quit = false;
  WPARAM quit_code = 0;
  TSyncWait armed;
  while (FThreadCount > 0) {
    CheckSynchronize();
    MSG msg;
    while (FThreadCount > 0 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        quit = true;
        quit_code = msg.wParam;
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (FThreadCount == 0) break;
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    HANDLE signal = armed.Signal();
    MsgWaitForMultipleObjectsEx(1, &signal, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
  if (FThreadCount == 0) {
    ULONGLONG now = GetTickCount64();
    FExits.WaitAll(now >= deadline ? 0 : static_cast<DWORD>(deadline - now));
  }
  if (quit) PostQuitMessage(static_cast<int>(quit_code));
}

TPipeHandOff TPipeServer::HandOff(unique_handle Pipe) {
  assert(IsMainThread());
  TPipeHandOff result;
  // Back-pressure: this client is still taken, then nobody listens until clients have left.
  result.Pause = FThreadCount > kSuspendThreadCount && FListener != nullptr;
  if (result.Pause) FListenerPaused = true;
  result.Pipe = reinterpret_cast<HPIPE>(Pipe.get());
  auto entry = std::make_unique<TClientEntry>();
  entry->Pipe = result.Pipe;
  entry->Id = FNextEntryId++;
  entry->LastTaken = GetTickCount64();
  TClientEntry* added = entry.get();
  FClients.push_back(std::move(entry));
  try {
    added->WriteQueue = std::make_unique<TWriteQueue>();
    added->EndEv = NewEvent(/*ManualReset=*/true);
    added->EndReason = std::make_shared<std::atomic<int32_t>>(kErrorPeerNotReading);
    TPipeIOHandles handles = TPipeIOHandles::Make(std::move(Pipe), FKillEv.get(),
                                                  added->EndEv.get(),
                                                  added->WriteQueue->DataEvent());
    handles.EndReason = added->EndReason;
    added->Mailbox = handles.Mailbox;
    result.Worker = NewPipeThread<TPipeIOThread>(FLink, std::move(handles), ERROR_BROKEN_PIPE,
                                                 added->Id);
    ++FThreadCount;
  } catch (...) {
    // Nothing is reported but the disconnect notification; the instance is closed.
    UnregisterClient(added->Id);
    if (Pipe) DisconnectNamedPipe(Pipe.get());
  }
  return result;
}

void TPipeServer::DequeueWrites(const TPipeIOThread& Thread, TWriteBatch& Batch) {
  assert(IsMainThread());
  TClientEntry* entry = FindEntry(Thread.Id());
  if (entry == nullptr) return;
  entry->WriteQueue->DequeueBatch(Batch, kMaxWriteBatchBytes);
  entry->LastTaken = GetTickCount64();
  if (entry->WriteQueue->Bytes() <= kQueueLowWater) entry->SetRoom();
}

void TPipeServer::UnregisterClient(uint64_t EntryId) {
  assert(IsMainThread());
  auto it = std::find_if(FClients.begin(), FClients.end(),
                         [EntryId](const auto& e) { return e->Id == EntryId; });
  if (it == FClients.end()) return;
  HPIPE pipe = (*it)->Pipe;
  FClients.erase(it);  // drops the records still queued for it
  if (!FInShutDown && !FDestroying && FOPD) FLink->PostOnce(WM_PIPE_DISCONNECT, pipe, 0);
}

void TPipeServer::ThreadTerminated(TPipeThread& Thread) {
  if (auto* worker = dynamic_cast<TPipeIOThread*>(&Thread))
    WorkerTerminated(*worker);
  else
    ListenerTerminated(static_cast<TPipeListenThread&>(Thread));
}

void TPipeServer::WorkerTerminated(TPipeIOThread& Worker) {
  assert(IsMainThread());
  UnregisterClient(Worker.Id());
  FExits.Add(&Worker);
  --FThreadCount;
  if (!FInShutDown && FThreadCount <= kResumeThreadCount && FListener != nullptr &&
      FListenerPaused) {
    FListenerPaused = false;
    FListener->ResumeListening();
  }
}

void TPipeServer::ListenerTerminated(TPipeListenThread& Listener) {
  assert(IsMainThread());
  FExits.Add(&Listener);
  --FThreadCount;
  if (FListener != &Listener) return;  // a listener of an earlier activation
  FListener = nullptr;
  FListenerPaused = false;
  if (!FInShutDown && FThreadCount == 0) FActive = false;
}

LRESULT TPipeServer::HandleNotify(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
  return WndProc(Window, Msg, WParam, LParam);
}

LRESULT TPipeServer::WndProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
  assert(IsMainThread());
  const HPIPE pipe = static_cast<HPIPE>(WParam);
  switch (Msg) {
    case WM_QUERYENDSESSION:
      return 1;  // never object to the end of the session
    case WM_PIPE_ERROR_LISTENER:
    case WM_PIPE_ERROR_WORKER:
      if (!FInShutDown && !FDestroying) {
        if (TOnPipeError handler = FOPE)
          handler(this, pipe, Msg == WM_PIPE_ERROR_LISTENER ? pcListener : pcWorker,
                  static_cast<int32_t>(LParam));
      }
      return 0;
    case WM_PIPE_CONNECT:
      if (FDestroying) return 0;
      if (TOnPipeConnect handler = FOPC) handler(this, pipe);
      return 0;
    case WM_PIPE_DISCONNECT:
      if (FDestroying) return 0;
      if (TOnPipeDisconnect handler = FOPD) handler(this, pipe);
      return 0;
    case WM_PIPE_SENT:
      if (FDestroying) return 0;
      if (TOnPipeSent handler = FOPS) handler(this, pipe, static_cast<uint32_t>(LParam));
      return 0;
    case WM_PIPE_MESSAGE:
      DeliverMessageBlock(reinterpret_cast<HGLOBAL>(LParam), [&](TMemoryStream* stream) {
        if (FDestroying) return;
        if (TOnPipeMessage handler = FOPM) handler(this, pipe, stream);
      });
      return 0;
    default:
      return DefWindowProcW(Window, Msg, WParam, LParam);
  }
}

}  // namespace velotarn
