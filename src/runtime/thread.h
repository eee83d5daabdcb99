#pragma once
// TThread: the base of every thread the program starts. A derived class overrides Execute.
//
// Creation: the system thread is made suspended by the constructor and let go only once the
// most derived constructor has finished, by TThread::New<T>(...) (or Start() later when it
// was created suspended). Always create threads through New<T>: it returns a TNewThread, which
// owns a thread created suspended until Start hands it on, and lets it go if dropped before.
//
// Lifetime: a thread with FreeOnTerminate frees itself on its own thread after its termination
// step; nobody else may free it. Any other thread object is freed by its creator with Free()
// (or a ThreadPtr), which sets Terminated and waits for the body first. The system thread's
// handle lives in a shared state, so WaitFor stays safe while a self-freeing object goes away,
// and an OnTerminate handler may free the thread it was called for.
//
// Threading: Terminate, Terminated, Suspend/Resume, WaitFor and the read-only properties may be
// called from any thread; OnTerminate and FreeOnTerminate are set by the creator before the
// thread can reach its end; Execute runs on the new thread.

#include <windows.h>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <utility>

#include "runtime/component.h"
#include "runtime/synchronize.h"

namespace velotarn {

template <class T>
class TNewThread;

class TThread : public TObject {
 public:
  using TNotifyEvent = std::function<void(TThread* sender)>;

  // Makes the thread object and starts it (unless create_suspended) once constructed.
  template <class T, class... Args>
  static TNewThread<T> New(Args&&... args) {
    T* thread = new T(std::forward<Args>(args)...);
    thread->AfterConstruction();
    return TNewThread<T>(thread);
  }

  // A thread that will never be started: its body is skipped, its termination step runs as
  // for any thread (OnTerminate still reaches its owner), and it is freed, by itself when it
  // has FreeOnTerminate, else here once it has ended.
  void Abandon();

  // Frees a thread that does not free itself: sets Terminated, lets a never-started thread run
  // (its body is then skipped), waits for it, then deletes the object.
  void Free();

  void Start();    // lets a thread created suspended run
  void Resume();   // undoes one Suspend (or the suspended creation)
  void Suspend();  // freezes the thread until Resume
  void Terminate() noexcept { FTerminated.store(true); }
  bool Terminated() const noexcept { return FTerminated.load(); }

  // Waits until the thread has ended and returns its exit code. On the main thread the wait
  // keeps running synchronous calls and lets sent messages through.
  DWORD WaitFor();

  // Runs `call` on the main thread and blocks until it has run (errors come back here). Called
  // by the thread itself (Execute, DoTerminate): it waits on the thread's own prepared signal,
  // so it needs nothing that could fail to be made.
  void Synchronize(const SyncCall& Call);

  bool FreeOnTerminate() const noexcept { return FFreeOnTerminate.load(); }
  void SetFreeOnTerminate(bool Value) noexcept { FFreeOnTerminate.store(Value); }
  TNotifyEvent OnTerminate;
  std::exception_ptr FatalException() const noexcept { return FFatalException; }
  int ReturnValue() const noexcept { return FReturnValue; }
  void SetReturnValue(int Value) noexcept { FReturnValue = Value; }
  DWORD ThreadID() const noexcept;
  HANDLE Handle() const noexcept;
  bool Suspended() const noexcept { return FSuspended.load(); }
  bool Finished() const noexcept;

 protected:
  explicit TThread(bool CreateSuspended);
  // Deleting a thread that still runs is a fault: derived state would go first. Use Free().
  ~TThread() override;

  virtual void Execute() = 0;
  // The termination step: runs OnTerminate on the main thread. Derived classes may extend it.
  virtual void DoTerminate();

 private:
  struct SharedState;
  static unsigned __stdcall ThreadProc(void* Param);
  void AfterConstruction();

  std::shared_ptr<SharedState> FState;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFreeOnTerminate{false};
  std::atomic<bool> FSuspended{false};
  bool FCreateSuspended;
  std::exception_ptr FFatalException;
  int FReturnValue = 0;
};

// What New<T> returns: the owner of a thread object while nobody else may free it yet. For a
// thread created suspended, Start() lets it run and hands it on (to itself with FreeOnTerminate,
// else to the caller); dropped before that, the thread is abandoned (see TThread::Abandon), so
// a failure between creation and Start leaks nothing. A thread created running is handed on
// with release().
//
// Threading: a plain value of the creating thread.
template <class T>
class TNewThread {
 public:
  explicit TNewThread(T* Thread) noexcept : FThread(Thread) {}
  TNewThread(TNewThread&& Other) noexcept : FThread(std::exchange(Other.FThread, nullptr)) {}
  // From the owner of a derived class's thread.
  template <class U>
  TNewThread(TNewThread<U>&& Other) noexcept : FThread(Other.release()) {}
  TNewThread& operator=(TNewThread&& Other) noexcept {
    if (this != &Other) {
      Drop();
      FThread = std::exchange(Other.FThread, nullptr);
    }
    return *this;
  }
  ~TNewThread() { Drop(); }

  T* get() const noexcept { return FThread; }
  T* operator->() const noexcept { return FThread; }
  explicit operator bool() const noexcept { return FThread != nullptr; }

  // Lets the thread run; from then on it is no longer this owner's.
  T* Start() {
    FThread->Start();
    return std::exchange(FThread, nullptr);
  }
  [[nodiscard]] T* release() noexcept { return std::exchange(FThread, nullptr); }

 private:
  void Drop() noexcept {
    if (FThread == nullptr) return;
    try {
      std::exchange(FThread, nullptr)->Abandon();
    } catch (...) {
      // A thread that cannot even be resumed stays frozen: nothing else can be done.
    }
  }

  T* FThread = nullptr;
};

// Owner for a thread object that does not free itself.
struct ThreadFree {
  void operator()(TThread* t) const { t->Free(); }
};
template <class T>
using ThreadPtr = std::unique_ptr<T, ThreadFree>;

}  // namespace velotarn
