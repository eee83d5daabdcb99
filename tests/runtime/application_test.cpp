// The application object: window, loop step, hooks, forms and the error rules.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "runtime/application.h"
#include "runtime/exceptions.h"
#include "runtime/thread.h"
#include "test_support.h"

using namespace velotarn;
using velotarn::test::PumpUntil;

namespace {

struct Probe : TComponent {
  static Probe** seen_reference;
  static Probe* seen_value;
  explicit Probe(TComponent* owner) : TComponent(owner) { seen_value = *seen_reference; }
};
Probe** Probe::seen_reference = nullptr;
Probe* Probe::seen_value = nullptr;

struct Failing : TComponent {
  explicit Failing(TComponent* owner) : TComponent(owner) { throw Exception(L"create failed"); }
};

struct CountingHook : TWindowHook {
  UINT wanted;
  bool handle;
  int seen = 0;
  int* order_slot = nullptr;
  int* order_counter = nullptr;
  CountingHook(UINT m, bool h) : wanted(m), handle(h) {}
  bool HookMessage(TMessage& m) override {
    if (m.Msg != wanted) return false;
    ++seen;
    if (order_slot) *order_slot = ++*order_counter;
    m.Result = 1234;
    return handle;
  }
};

// Finds the message box captioned `caption` from another thread, reads its text, presses OK.
// It waits for window events of this process (a box shown, a window gone), not on a clock, and
// gives up after a minute.
class BoxCloser : public TThread {
 public:
  explicit BoxCloser(std::wstring caption) : TThread(false), caption_(std::move(caption)) {}
  std::wstring text;

 protected:
  void Execute() override {
    // Out-of-context events reach this thread while it waits for messages below.
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_DESTROY, EVENT_OBJECT_SHOW, nullptr,
                                         &Ignore, GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    const ULONGLONG deadline = GetTickCount64() + 60000;
    HWND box = nullptr;
    while (!Terminated() && GetTickCount64() < deadline) {
      if (box == nullptr) {
        HWND found = FindWindowW(L"#32770", caption_.c_str());
        wchar_t buf[1024] = {};
        // A box found while it is still being made has no text yet and may ignore a press.
        if (found && GetDlgItemTextW(found, 0xFFFF, buf, 1024) > 0) {
          text = buf;
          box = found;
        }
      }
      if (box != nullptr) {
        if (!IsWindow(box)) break;
        PostMessageW(box, WM_COMMAND, IDOK, 0);
      }
      // Woken by the next event; a press that came too early is made again after a while.
      MsgWaitForMultipleObjects(0, nullptr, FALSE, box ? 200 : 1000, QS_ALLINPUT);
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    if (hook) UnhookWinEvent(hook);
  }

 private:
  static void CALLBACK Ignore(HWINEVENTHOOK, DWORD, HWND, LONG, LONG, DWORD, DWORD) {}
  std::wstring caption_;
};

}  // namespace

TEST(Application, WindowIsHiddenTopLevelAndTitleFollowsProgramName) {
  ASSERT_NE(Application, nullptr);
  HWND w = Application->Handle();
  ASSERT_TRUE(IsWindow(w));
  EXPECT_FALSE(IsWindowVisible(w));
  EXPECT_EQ(GetParent(w), nullptr);
  EXPECT_EQ(Application->Title(), L"runtime_tests");
  EXPECT_EQ(ApplicationTitleFromPath(L"C:\\x.y\\VeloTarnSvc.Exe"), L"Velotarnsvc");
  EXPECT_EQ(ApplicationTitleFromPath(L"a.b.c"), L"a");
}

TEST(Application, CreateFormSetsReferenceBeforeConstructionAndClearsOnFailure) {
  Probe* probe = nullptr;
  Probe::seen_reference = &probe;
  Application->CreateForm(probe);
  EXPECT_EQ(Probe::seen_value, probe);
  EXPECT_EQ(probe->Owner(), Application);
  Failing* failing = reinterpret_cast<Failing*>(1);
  EXPECT_THROW(Application->CreateForm(failing), Exception);
  EXPECT_EQ(failing, nullptr);
  delete probe;
}

TEST(Application, QuitEndsLoopEvenWithMessagesQueuedBehindIt) {
  CountingHook hook(WM_APP + 7, true);
  Application->HookMainWindow(&hook);
  // Posted as a real queued message, as the service host's dispatcher thread does.
  PostMessageW(Application->Handle(), WM_QUIT, 0, 0);
  PostMessageW(Application->Handle(), WM_APP + 7, 0, 0);
  Application->Run();  // must return without blocking
  EXPECT_TRUE(Application->Terminated());
  EXPECT_EQ(hook.seen, 0) << "the message behind WM_QUIT was dispatched";
  MSG left;
  EXPECT_TRUE(PeekMessageW(&left, nullptr, WM_APP + 7, WM_APP + 7, PM_REMOVE));
  Application->UnhookMainWindow(&hook);
}

TEST(Application, HooksSeeMessagesInOrderAndFirstHandledWins) {
  int counter = 0, first_at = 0, second_at = 0;
  CountingHook first(WM_APP + 1, false), second(WM_APP + 1, true), third(WM_APP + 1, true);
  first.order_slot = &first_at;
  first.order_counter = &counter;
  second.order_slot = &second_at;
  second.order_counter = &counter;
  Application->HookMainWindow(&first);
  Application->HookMainWindow(&second);
  Application->HookMainWindow(&third);
  EXPECT_EQ(SendMessageW(Application->Handle(), WM_APP + 1, 0, 0), 1234);
  EXPECT_EQ(first_at, 1);
  EXPECT_EQ(second_at, 2);
  EXPECT_EQ(third.seen, 0);
  Application->UnhookMainWindow(&second);
  SendMessageW(Application->Handle(), WM_APP + 1, 0, 0);
  EXPECT_EQ(third.seen, 1);
  Application->UnhookMainWindow(&first);
  Application->UnhookMainWindow(&third);
}

TEST(Application, EndSessionIsBlockedByAHookAndEndsTheLoopWithout) {
  CountingHook hook(WM_ENDSESSION, true);
  Application->HookMainWindow(&hook);
  SendMessageW(Application->Handle(), WM_ENDSESSION, TRUE, 0);
  MSG msg;
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
  Application->UnhookMainWindow(&hook);
  SendMessageW(Application->Handle(), WM_ENDSESSION, TRUE, 0);
  EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST(Application, HandleExceptionDropsAbortAndCallsOnException) {
  int calls = 0;
  std::wstring message;
  Application->OnException = [&](TObject*, const Exception& e) {
    ++calls;
    message = e.Message();
  };
  try {
    throw EAbort();
  } catch (...) {
    Application->HandleException(nullptr);
  }
  EXPECT_EQ(calls, 0);
  try {
    throw EOSError(0);
  } catch (...) {
    Application->HandleException(nullptr);
  }
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(message, L"A call to an OS function failed");
  try {
    throw std::runtime_error("plain");
  } catch (...) {
    Application->HandleException(nullptr);
  }
  EXPECT_EQ(message, L"plain");
  Application->OnException = nullptr;
}

TEST(Application, HandleExceptionWithoutHandlerShowsBoxWithFinalPeriod) {
  ThreadPtr<BoxCloser> closer(TThread::New<BoxCloser>(Application->Title()).release());
  try {
    throw Exception(L"disk is full");
  } catch (...) {
    Application->HandleException(nullptr);  // returns when the box is closed
  }
  closer->WaitFor();
  EXPECT_EQ(closer->text, L"disk is full.");
  EXPECT_EQ(WithFinalPeriod(L"ends with period."), L"ends with period.");
  EXPECT_EQ(WithFinalPeriod(L"ends with blank "), L"ends with blank ");
  EXPECT_EQ(WithFinalPeriod(L"ends with !"), L"ends with !");
  EXPECT_EQ(WithFinalPeriod(L"ends with z"), L"ends with z.");
}

TEST(Application, MessageBoxLoopStillRunsSynchronousCalls) {
  // While the error box is open, a thread's synchronous call must still complete.
  std::atomic<bool> call_ran{false};
  class Caller : public TThread {
   public:
    explicit Caller(std::atomic<bool>& f) : TThread(false), flag_(f) {}
   protected:
    void Execute() override { Synchronize([this] { flag_ = true; }); }
   private:
    std::atomic<bool>& flag_;
  };
  class WaitingCloser : public BoxCloser {
   public:
    WaitingCloser(std::wstring c, std::atomic<bool>& f) : BoxCloser(std::move(c)), flag_(f) {}
   protected:
    void Execute() override {
      ThreadPtr<Caller> caller(TThread::New<Caller>(flag_).release());
      caller->WaitFor();  // off the main thread: a plain wait, completed by the box's loop
      BoxCloser::Execute();
    }
   private:
    std::atomic<bool>& flag_;
  };
  ThreadPtr<WaitingCloser> closer(TThread::New<WaitingCloser>(Application->Title(), call_ran).release());
  try {
    throw Exception(L"x");
  } catch (...) {
    Application->HandleException(nullptr);
  }
  closer->WaitFor();
  EXPECT_TRUE(call_ran);
}
