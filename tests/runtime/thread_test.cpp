// The thread class: start order, termination step, self-freeing, fatal errors, waits.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "runtime/application.h"
#include "runtime/exceptions.h"
#include "runtime/handles.h"
#include "runtime/thread.h"
#include "test_support.h"

using namespace velotarn;
using velotarn::test::PumpUntil;

namespace {

class LambdaThread : public TThread {
 public:
  explicit LambdaThread(std::function<void(LambdaThread*)> body, bool suspended = false)
      : TThread(suspended), body_(std::move(body)) {}

 protected:
  void Execute() override { body_(this); }

 private:
  std::function<void(LambdaThread*)> body_;
};

// Its constructor goes on after the base constructor: the body must not run before it ends.
class SlowConstructedThread : public TThread {
 public:
  explicit SlowConstructedThread(HANDLE body_started) : TThread(false), started_(body_started) {
    // Had the thread started already, its body would signal within this bound.
    early_start_ = WaitForSingleObject(started_, 300) == WAIT_OBJECT_0;
    value_ = 42;
  }
  bool early_start_ = false;
  std::atomic<int> seen_{0};

 protected:
  void Execute() override {
    SetEvent(started_);
    seen_ = value_;
  }

 private:
  HANDLE started_;
  int value_ = 0;
};

// Counts destructions so that tests can see a self-freeing thread go away.
std::atomic<int> g_destroyed{0};
class CountedThread : public LambdaThread {
 public:
  using LambdaThread::LambdaThread;
  ~CountedThread() override { ++g_destroyed; }
};

}  // namespace

TEST(Thread, NonSuspendedThreadStartsAfterMostDerivedConstructor) {
  unique_handle started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ThreadPtr<SlowConstructedThread> t(TThread::New<SlowConstructedThread>(started.get()).release());
  t->WaitFor();
  EXPECT_FALSE(t->early_start_);
  EXPECT_EQ(t->seen_, 42);
}

TEST(Thread, SuspendedThreadWaitsForStartAndReportsState) {
  std::atomic<bool> ran{false};
  ThreadPtr<LambdaThread> t(TThread::New<LambdaThread>([&](LambdaThread*) { ran = true; }, true).release());
  EXPECT_TRUE(t->Suspended());
  EXPECT_NE(t->ThreadID(), 0u);
  EXPECT_EQ(WaitForSingleObject(t->Handle(), 200), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(ran);
  t->Start();
  EXPECT_FALSE(t->Suspended());
  t->WaitFor();
  EXPECT_TRUE(ran);
}

TEST(Thread, ReturnValueIsExitCodeAndFatalExceptionIsKept) {
  ThreadPtr<LambdaThread> t(TThread::New<LambdaThread>([](LambdaThread* self) {
    self->SetReturnValue(7);
    throw EOSError(5);
  }).release());
  EXPECT_EQ(t->WaitFor(), 7u);
  ASSERT_TRUE(t->FatalException());
  EXPECT_NE(ExceptionMessage(t->FatalException()).find(L"Code: 5."), std::wstring::npos);
  EXPECT_EQ(t->ReturnValue(), 7);
}

TEST(Thread, OnTerminateRunsOnMainThreadAfterBodyBeforeWaitEnds) {
  std::vector<std::string> order;  // body writes before the handler runs: no overlap
  DWORD handler_thread = 0;
  ThreadPtr<LambdaThread> t(
      TThread::New<LambdaThread>([&](LambdaThread*) { order.push_back("body"); }, true).release());
  t->OnTerminate = [&](TThread* sender) {
    EXPECT_EQ(sender, t.get());
    handler_thread = GetCurrentThreadId();
    order.push_back("terminate");
  };
  t->Start();
  t->WaitFor();  // on the main thread: runs the handler's synchronous call
  EXPECT_EQ(order, (std::vector<std::string>{"body", "terminate"}));
  EXPECT_EQ(handler_thread, GetCurrentThreadId());
  EXPECT_TRUE(t->Finished());
}

TEST(Thread, WaitForOnMainThreadRunsTheThreadsSynchronousCalls) {
  int calls = 0;
  ThreadPtr<LambdaThread> t(TThread::New<LambdaThread>([&](LambdaThread* self) {
    for (int i = 0; i < 3; ++i) self->Synchronize([&] { ++calls; });
  }).release());
  t->WaitFor();
  EXPECT_EQ(calls, 3);
}

TEST(Thread, TerminatedBeforeStartSkipsBody) {
  std::atomic<bool> ran{false};
  bool terminated_seen = false;
  ThreadPtr<LambdaThread> t(TThread::New<LambdaThread>([&](LambdaThread*) { ran = true; }, true).release());
  t->OnTerminate = [&](TThread*) { terminated_seen = true; };
  t->Terminate();
  t->Start();
  t->WaitFor();
  EXPECT_FALSE(ran);
  EXPECT_TRUE(terminated_seen) << "the termination step runs even when the body is skipped";
}

TEST(Thread, FreeingUnfinishedThreadTerminatesAndWaits) {
  std::atomic<int> loops{0};
  LambdaThread* t = TThread::New<LambdaThread>([&](LambdaThread* self) {
    while (!self->Terminated()) {
      ++loops;
      SwitchToThread();
    }
  }).release();
  ASSERT_TRUE(PumpUntil([&] { return loops > 0; }));
  HANDLE dup = nullptr;
  DuplicateHandle(GetCurrentProcess(), t->Handle(), GetCurrentProcess(), &dup, SYNCHRONIZE, FALSE,
                  0);
  unique_handle thread(dup);
  t->Free();  // must set Terminated and wait, not leave the thread running
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);
}

TEST(Thread, FreeingNeverStartedThreadDoesNotHang) {
  std::atomic<bool> ran{false};
  LambdaThread* t = TThread::New<LambdaThread>([&](LambdaThread*) { ran = true; }, true).release();
  t->Free();
  EXPECT_FALSE(ran);
}

TEST(Thread, FreeOnTerminateFreesItselfAfterTerminationStep) {
  g_destroyed = 0;
  bool terminate_ran = false;
  auto* t = TThread::New<CountedThread>([](LambdaThread*) {}, true).release();
  t->SetFreeOnTerminate(true);
  t->OnTerminate = [&](TThread*) {
    EXPECT_EQ(g_destroyed, 0) << "object freed before its termination handler";
    terminate_ran = true;
  };
  t->Start();
  EXPECT_TRUE(PumpUntil([&] { return g_destroyed == 1; }));
  EXPECT_TRUE(terminate_ran);
}

TEST(Thread, WaitForOnSelfFreeingThreadIsSafe) {
  g_destroyed = 0;
  auto* t = TThread::New<CountedThread>([](LambdaThread* self) { self->SetReturnValue(3); }, true).release();
  t->SetFreeOnTerminate(true);
  t->OnTerminate = [](TThread*) {};
  t->Start();
  // The object frees itself during this wait (right after the handler ran inside it).
  EXPECT_EQ(t->WaitFor(), 3u);
  EXPECT_EQ(g_destroyed, 1);
}

TEST(Thread, OnTerminateHandlerMayFreeItsThread) {
  for (bool free_on_terminate : {false, true}) {
    g_destroyed = 0;
    auto* t = TThread::New<CountedThread>([](LambdaThread*) {}, true).release();
    t->SetFreeOnTerminate(free_on_terminate);
    t->OnTerminate = [](TThread* sender) { sender->Free(); };
    HANDLE dup = nullptr;
    DuplicateHandle(GetCurrentProcess(), t->Handle(), GetCurrentProcess(), &dup, SYNCHRONIZE,
                    FALSE, 0);
    unique_handle thread(dup);
    t->Start();
    EXPECT_TRUE(PumpUntil([&] {
      return g_destroyed == 1 && WaitForSingleObject(thread.get(), 0) == WAIT_OBJECT_0;
    }));
    EXPECT_EQ(g_destroyed, 1) << "freed twice or never (free_on_terminate=" << free_on_terminate
                              << ")";
  }
}

TEST(Thread, SuspendAndResumeFreezeTheBody) {
  std::atomic<long> counter{0};
  ThreadPtr<LambdaThread> t(TThread::New<LambdaThread>([&](LambdaThread* self) {
    while (!self->Terminated()) {
      ++counter;
      SwitchToThread();
    }
  }).release());
  ASSERT_TRUE(PumpUntil([&] { return counter > 0; }));
  t->Suspend();
  EXPECT_TRUE(t->Suspended());
  long frozen = counter;
  velotarn::test::PumpFor(100);
  EXPECT_EQ(counter, frozen);
  t->Resume();
  EXPECT_FALSE(t->Suspended());
  EXPECT_TRUE(PumpUntil([&] { return counter > frozen; }));
}
