#pragma once
// TThread: the base of every thread the program starts. A derived class overrides Execute.
//
// Creation: the system thread is made suspended by the constructor and let go only once the
// most derived constructor has finished, by TThread::New<T>(...) (or Start() later when it
// was created suspended). Always create threads through New<T>.
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

#include "runtime/component.h"
#include "runtime/synchronize.h"

namespace velotarn {

class TThread : public TObject {
 public:
  using TNotifyEvent = std::function<void(TThread* sender)>;

  // Makes the thread object and starts it (unless create_suspended) once constructed.
  template <class T, class... Args>
  static T* New(Args&&... args) {
    T* thread = new T(std::forward<Args>(args)...);
    thread->AfterConstruction();
    return thread;
  }

  // Frees a thread that does not free itself: sets Terminated, lets a never-started thread run
  // (its body is then skipped), waits for it, then deletes the object.
  void Free();

  void Start();    // lets a thread created suspended run
  void Resume();   // undoes one Suspend (or the suspended creation)
  void Suspend();  // freezes the thread until Resume
  void Terminate() noexcept { terminated_.store(true); }
  bool Terminated() const noexcept { return terminated_.load(); }

  // Waits until the thread has ended and returns its exit code. On the main thread the wait
  // keeps running synchronous calls and lets sent messages through.
  DWORD WaitFor();

  // Runs `call` on the main thread and blocks until it has run (errors come back here). Called
  // by the thread itself (Execute, DoTerminate): it waits on the thread's own prepared signal,
  // so it needs nothing that could fail to be made.
  void Synchronize(const SyncCall& call);

  bool FreeOnTerminate() const noexcept { return free_on_terminate_.load(); }
  void SetFreeOnTerminate(bool value) noexcept { free_on_terminate_.store(value); }
  TNotifyEvent OnTerminate;
  std::exception_ptr FatalException() const noexcept { return fatal_exception_; }
  int ReturnValue() const noexcept { return return_value_; }
  void SetReturnValue(int value) noexcept { return_value_ = value; }
  DWORD ThreadID() const noexcept;
  HANDLE Handle() const noexcept;
  bool Suspended() const noexcept { return suspended_.load(); }
  bool Finished() const noexcept;

 protected:
  explicit TThread(bool create_suspended);
  // Deleting a thread that still runs is a fault: derived state would go first. Use Free().
  ~TThread() override;

  virtual void Execute() = 0;
  // The termination step: runs OnTerminate on the main thread. Derived classes may extend it.
  virtual void DoTerminate();

 private:
  struct SharedState;
  static unsigned __stdcall ThreadProc(void* param);
  void AfterConstruction();

  std::shared_ptr<SharedState> state_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> free_on_terminate_{false};
  std::atomic<bool> suspended_{false};
  bool create_suspended_;
  std::exception_ptr fatal_exception_;
  int return_value_ = 0;
};

// Owner for a thread object that does not free itself.
struct ThreadFree {
  void operator()(TThread* t) const { t->Free(); }
};
template <class T>
using ThreadPtr = std::unique_ptr<T, ThreadFree>;

// Text of an error kept as FatalException (empty when there is none).
std::wstring ExceptionMessage(const std::exception_ptr& error);

}  // namespace velotarn
