// Synchronous main-thread calls between real threads and the real message loop.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "runtime/application.h"
#include "runtime/exceptions.h"
#include "runtime/thread.h"
#include "test_support.h"

using namespace velotarn;
using velotarn::test::PumpUntil;

namespace {

// A thread whose body is a function.
class LambdaThread : public TThread {
 public:
  LambdaThread(std::function<void(LambdaThread*)> body, bool suspended = false)
      : TThread(suspended), body_(std::move(body)) {}
  using TThread::Synchronize;

 protected:
  void Execute() override { body_(this); }

 private:
  std::function<void(LambdaThread*)> body_;
};

}  // namespace

TEST(Synchronize, CallOnMainThreadRunsAtOnce) {
  bool ran = false;
  SynchronizeCall([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(CheckSynchronize()) << "a main-thread call must not go through the list";
}

TEST(Synchronize, CallsFromTwoThreadsRunOnMainThreadInOrder) {
  // a appends its call first (the list's signal tells when), then b appends its own while the
  // main thread is not looking; both run on the main thread in that order, and each caller
  // resumes only after its own call has run.
  std::vector<std::string> order;  // touched on the main thread only
  std::atomic<bool> a_resumed_after_call{false}, b_resumed_after_call{false};
  auto body = [&](const std::string& name, std::atomic<bool>& resumed_ok) {
    return [&, name](LambdaThread* self) {
      bool ran = false;
      self->Synchronize([&] {
        EXPECT_TRUE(IsMainThread());
        order.push_back(name);
        ran = true;
      });
      resumed_ok = ran;
    };
  };
  CheckSynchronize();  // nothing pending: the signal is reset
  ThreadPtr<LambdaThread> a(TThread::New<LambdaThread>(body("a", a_resumed_after_call), true).release());
  ThreadPtr<LambdaThread> b(TThread::New<LambdaThread>(body("b", b_resumed_after_call), true).release());
  {
    TSyncWait armed;
    a->Start();
    ASSERT_EQ(WaitForSingleObject(armed.Signal(), 10000), WAIT_OBJECT_0);
  }
  b->Start();
  a->WaitFor();
  b->WaitFor();
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(a_resumed_after_call);
  EXPECT_TRUE(b_resumed_after_call);
}

TEST(Synchronize, ErrorComesBackToCallerAndMainThreadGoesOn) {
  std::wstring caught;
  bool second_ran = false;
  ThreadPtr<LambdaThread> t(TThread::New<LambdaThread>([&](LambdaThread* self) {
    try {
      self->Synchronize([] { throw Exception(L"boom"); });
    } catch (const Exception& e) {
      caught = e.Message();
    }
    self->Synchronize([&] { second_ran = true; });
  }).release());
  t->WaitFor();
  EXPECT_EQ(caught, L"boom");
  EXPECT_TRUE(second_ran);
  // The loop still serves messages afterwards.
  bool posted_seen = false;
  PostMessageW(Application->Handle(), WM_NULL, 0, 0);
  ThreadPtr<LambdaThread> u(TThread::New<LambdaThread>(
      [&](LambdaThread* self) { self->Synchronize([&] { posted_seen = true; }); }).release());
  EXPECT_TRUE(PumpUntil([&] { return posted_seen; }));
}

TEST(Synchronize, HandleMessageWakesFromWaitMessageForACall) {
  // The loop blocks in WaitMessage; a call from another thread must wake it by itself.
  bool ran = false;
  ThreadPtr<LambdaThread> t(TThread::New<LambdaThread>(
      [&](LambdaThread* self) { self->Synchronize([&] { ran = true; }); }).release());
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (!ran && GetTickCount64() < deadline) Application->HandleMessage();
  EXPECT_TRUE(ran);
}

TEST(Synchronize, ManyCallersLeaveAtMostAFewSpareHandlesBehind) {
  // Every pending call waits on an event of its own; events of finished calls are kept for
  // reuse, but only a few: a burst of callers must not show as a handle leak afterwards.
  constexpr int kThreads = 16;
  constexpr int kCallsEach = 25;
  CheckSynchronize();
  DWORD before = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
  int ran = 0;  // main thread only
  {
    std::vector<ThreadPtr<LambdaThread>> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back(TThread::New<LambdaThread>([&](LambdaThread* self) {
        for (int n = 0; n < kCallsEach; ++n) self->Synchronize([&] { ++ran; });
      }).release());
    }
    for (auto& t : threads) t->WaitFor();
  }
  EXPECT_EQ(ran, kThreads * kCallsEach);
  DWORD after = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
  EXPECT_LE(after, before + 8) << "handles before " << before << ", after " << after;
}
