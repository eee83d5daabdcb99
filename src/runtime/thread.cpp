#include "runtime/thread.h"

#include <process.h>

#include <cassert>

#include "runtime/exceptions.h"
#include "runtime/handles.h"

namespace velotarn {

// What outlives the thread object: the system thread's handle, and whether the object has
// already been freed by somebody else while its thread was in the termination step.
struct TThread::SharedState {
  unique_handle handle;
  DWORD id = 0;
  std::atomic<bool> finished{false};
  std::atomic<bool> in_termination_step{false};
  std::atomic<bool> in_handler{false};  // OnTerminate is running on the main thread
  std::atomic<bool> object_gone{false};
  // The thread's wait event for its synchronous calls, made with the object so that the
  // termination step's call cannot fail: a self-freeing thread never frees itself without its
  // OnTerminate having run. Here rather than in the object, which that handler may free.
  TCallerSignal sync_signal;
};

TThread::TThread(bool CreateSuspended)
    : FState(std::make_shared<SharedState>()), FCreateSuspended(CreateSuspended) {
  unsigned id = 0;
  auto handle = reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &id));
  if (handle == nullptr) RaiseLastOSError(static_cast<DWORD>(_doserrno));
  FState->handle.reset(handle);
  FState->id = id;
  FSuspended.store(true);
}

TThread::~TThread() {
  // Reached only through Free() (after the wait), from the thread itself (FreeOnTerminate), or
  // from an OnTerminate handler, which leaves the exit to the thread.
  if (FState->in_termination_step.load() && GetCurrentThreadId() != FState->id)
    FState->object_gone.store(true);
}

void TThread::AfterConstruction() {
  if (!FCreateSuspended) Resume();
}

DWORD TThread::ThreadID() const noexcept { return FState->id; }
HANDLE TThread::Handle() const noexcept { return FState->handle.get(); }
bool TThread::Finished() const noexcept { return FState->finished.load(); }

void TThread::Start() { Resume(); }

void TThread::Synchronize(const SyncCall& Call) { SynchronizeCall(Call, FState->sync_signal); }

void TThread::Resume() {
  DWORD previous = ResumeThread(FState->handle.get());
  if (previous == static_cast<DWORD>(-1)) RaiseLastOSError();
  if (previous <= 1) FSuspended.store(false);
}

void TThread::Suspend() {
  bool was = FSuspended.exchange(true);
  if (SuspendThread(FState->handle.get()) == static_cast<DWORD>(-1)) {
    FSuspended.store(was);
    RaiseLastOSError();
  }
}

DWORD TThread::WaitFor() {
  std::shared_ptr<SharedState> state = FState;  // the object may free itself meanwhile
  assert(GetCurrentThreadId() != state->id && "a thread cannot wait for itself");
  HANDLE thread = state->handle.get();
  if (IsMainThread()) {
    TSyncWait armed;
    HANDLE handles[2] = {thread, armed.Signal()};
    for (;;) {
      DWORD r = MsgWaitForMultipleObjects(2, handles, FALSE, INFINITE, QS_SENDMESSAGE);
      if (r == WAIT_OBJECT_0) break;
      if (r == WAIT_OBJECT_0 + 1) {
        CheckSynchronize();
      } else if (r == WAIT_OBJECT_0 + 2) {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // delivers sent messages
      } else if (r == WAIT_FAILED) {
        RaiseLastOSError();
      }
    }
  } else {
    WaitForSingleObject(thread, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  return code;
}

void TThread::Free() {
  // Freed from inside its own OnTerminate handler, the thread is blocked in that very call and
  // ends without touching the object again; waiting here would deadlock.
  bool from_handler = FState->in_handler.load() && IsMainThread();
  assert(!FreeOnTerminate() || from_handler);
  if (!from_handler && GetCurrentThreadId() != FState->id && !FState->finished.load()) {
    Terminate();
    while (Suspended()) Resume();  // a never-started or frozen thread must reach its end
    WaitFor();
  }
  delete this;
}

void TThread::Abandon() {
  Terminate();
  if (FreeOnTerminate()) {
    while (Suspended()) Resume();  // it frees itself after its termination step
    return;
  }
  Free();
}

void TThread::DoTerminate() {
  if (!OnTerminate) return;
  // ThreadProc's reference keeps the state, and so the call's signal, alive if the handler frees
  // this object. The call captures by reference only, so that making it cannot allocate.
  SharedState* state = FState.get();
  SynchronizeCall([&] {
    TNotifyEvent handler = OnTerminate;  // the handler may free this object and its members
    state->in_handler.store(true);
    try {
      handler(this);
    } catch (...) {
      state->in_handler.store(false);
      throw;
    }
    state->in_handler.store(false);
  }, state->sync_signal);
}

unsigned __stdcall TThread::ThreadProc(void* Param) {
  auto* self = static_cast<TThread*>(Param);
  std::shared_ptr<SharedState> state = self->FState;
  if (!self->Terminated()) {
    try {
      self->Execute();
    } catch (...) {
      self->FFatalException = std::current_exception();
    }
  }
  unsigned result = static_cast<unsigned>(self->FReturnValue);
  state->in_termination_step.store(true);
  try {
    self->DoTerminate();
  } catch (...) {
    // The termination handler's error has no one to go to.
  }
  if (state->object_gone.load()) {
    state->finished.store(true);
    return result;  // freed by its OnTerminate handler: not touched again
  }
  result = static_cast<unsigned>(self->FReturnValue);
  bool free_self = self->FreeOnTerminate();
  state->finished.store(true);
  if (free_self) delete self;
  return result;
}

}  // namespace velotarn
