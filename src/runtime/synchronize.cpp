#include "runtime/synchronize.h"

#include <atomic>
#include <cassert>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

#include "runtime/exceptions.h"
#include "runtime/handles.h"
#include "runtime/scope_exit.h"

namespace velotarn {

namespace {

// Static initialisation runs on the process's main thread.
const DWORD g_main_thread_id = GetCurrentThreadId();

// One pending call. It lives on the caller's stack until the main thread has run it and woken
// the caller; the list links the entries themselves, so adding a call allocates nothing.
struct PendingCall {
  const SyncCall* call;
  std::exception_ptr error;
  HANDLE done;  // the caller's own signal (see TakeCallerSignal)
  PendingCall* next = nullptr;
};

// A batch of pending calls in the order they were made.
struct PendingCalls {
  PendingCall* head = nullptr;
  PendingCall* tail = nullptr;
  bool empty() const noexcept { return head == nullptr; }
  void push_back(PendingCall* Entry) noexcept {
    if (tail != nullptr)
      tail->next = Entry;
    else
      head = Entry;
    tail = Entry;
  }
};

// At most this many callers' signals are kept for reuse: enough for the threads that usually
// call at the same time, few enough not to show as a handle leak after a burst.
constexpr size_t kSpareSignals = 8;

struct SyncList {
  std::mutex lock;
  // Guarded by the lock:
  PendingCalls calls;
  bool signal_set = false;                   // whether `signal` is set, so it is set or reset once
  int armed = 0;                             // TSyncWait objects in existence
  std::vector<unique_handle> spare_signals;  // callers' signals from finished calls
  unique_handle signal{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<HWND> wake_window{nullptr};
  std::atomic<bool> wake_pending{false};
};

// Made on first use and never destroyed: threads that outlive the program's exit step (a
// self-freeing thread on its way out) may still reach it while static destruction runs.
SyncList& List() {
  static SyncList* const list = [] {
    auto* made = new SyncList;
    made->spare_signals.reserve(kSpareSignals);
    return made;
  }();
  return *list;
}

// Each call waits on an auto-reset event of its own while it is pending, taken from the spares
// when there is one: making and closing an event per call would cost two kernel calls per line
// relayed. (Not a thread_local owner: a thread_local with a destructor corrupts the heap when
// several threads end at once under mingw-w64 and Wine.)
unique_handle TakeCallerSignal(SyncList& List) {
  {
    std::lock_guard<std::mutex> guard(List.lock);
    if (!List.spare_signals.empty()) {
      unique_handle signal = std::move(List.spare_signals.back());
      List.spare_signals.pop_back();
      return signal;
    }
  }
  unique_handle signal(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!signal) RaiseLastOSError();
  return signal;
}

// The caller's wait has consumed the signal's one SetEvent: it is reset and free for the next.
// Runs during unwinding too: a signal that cannot be kept is closed.
void GiveBackCallerSignal(SyncList& List, unique_handle Signal) noexcept {
  std::lock_guard<std::mutex> guard(List.lock);
  // The spares are reserved up front, so keeping one never allocates.
  if (List.spare_signals.size() < kSpareSignals) List.spare_signals.push_back(std::move(Signal));
}

// Under the lock.
void SetSignal(SyncList& List) {
  if (List.signal_set) return;
  SetEvent(List.signal.get());
  List.signal_set = true;
}

void WakeMainThread(SyncList& List) {
  if (List.wake_pending.exchange(true)) return;  // one wake-up in flight is enough
  HWND window = List.wake_window.load();
  if (window == nullptr || !PostMessageW(window, WM_NULL, 0, 0))
    PostThreadMessageW(g_main_thread_id, WM_NULL, 0, 0);
}

constexpr int kRunRounds = 4;

// Main thread: takes the whole list, leaving an empty one, and resets the list's signal.
PendingCalls TakePending(SyncList& List) {
  // Cleared before the list is taken: a call added after the swap posts a fresh wake-up.
  List.wake_pending.store(false);
  PendingCalls taken;
  std::lock_guard<std::mutex> guard(List.lock);
  if (List.signal_set) {
    ResetEvent(List.signal.get());
    List.signal_set = false;
  }
  std::swap(taken, List.calls);
  return taken;
}

// Main thread: runs the calls in order, each one's error kept for its caller, and wakes each
// caller once its call has run.
void RunTaken(const PendingCalls& Taken) {
  for (PendingCall* entry = Taken.head; entry != nullptr;) {
    PendingCall* next = entry->next;  // read first: the caller may return once woken
    try {
      (*entry->call)();
    } catch (...) {
      entry->error = std::current_exception();
    }
    SetEvent(entry->done);  // the entry is not touched after this
    entry = next;
  }
}

}  // namespace

DWORD MainThreadID() noexcept { return g_main_thread_id; }

HANDLE SyncSignal() noexcept { return List().signal.get(); }

void SetWakeWindow(HWND Window) noexcept { List().wake_window.store(Window); }

TSyncWait::TSyncWait() {
  assert(IsMainThread());
  SyncList& list = List();
  std::lock_guard<std::mutex> guard(list.lock);
  ++list.armed;
  if (!list.calls.empty()) SetSignal(list);
}

TSyncWait::~TSyncWait() {
  SyncList& list = List();
  std::lock_guard<std::mutex> guard(list.lock);
  --list.armed;
}

namespace {

// Queues the call, wakes the main thread and blocks on `done` until the call has run. Cannot
// fail: the entry lives here and the list links it without allocating.
void RunOnMainThread(const SyncCall& Call, HANDLE Done) {
  SyncList& list = List();
  PendingCall entry{&Call, nullptr, Done};
  {
    std::lock_guard<std::mutex> guard(list.lock);
    list.calls.push_back(&entry);
    if (list.armed > 0) SetSignal(list);
  }
  WakeMainThread(list);
  WaitForSingleObject(Done, INFINITE);
  if (entry.error) std::rethrow_exception(entry.error);
}

}  // namespace

void SynchronizeCall(const SyncCall& Call) {
  if (IsMainThread()) {
    Call();
    return;
  }
  SyncList& list = List();
  unique_handle signal = TakeCallerSignal(list);
  ScopeExit give_back{[&] { GiveBackCallerSignal(list, std::move(signal)); }};
  RunOnMainThread(Call, signal.get());
}

void SynchronizeCall(const SyncCall& Call, const TCallerSignal& Signal) {
  if (IsMainThread()) {
    Call();
    return;
  }
  RunOnMainThread(Call, Signal.Get());
}

TCallerSignal::TCallerSignal() : FEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  if (!FEvent) RaiseLastOSError();
}

bool CheckSynchronize() {
  assert(IsMainThread());
  SyncList& list = List();
  PendingCalls taken = TakePending(list);
  if (taken.empty()) return false;
  // Calls added while these ran run at once rather than after a round through the message
  // queue: typically an I/O thread fetching the record that a call has just queued for it. A
  // few rounds at most, so that messages still get their turn.
  for (int round = 1;; ++round) {
    RunTaken(taken);
    if (round == kRunRounds) break;
    taken = TakePending(list);
    if (taken.empty()) break;
  }
  return true;
}

}  // namespace velotarn
