// The service's status reports and control codes, observed where SetServiceStatus would be
// called: a test sender takes every SERVICE_STATUS. RunService runs on a thread of the test
// (standing in for the SCM's service-main thread); control codes arrive through
// PostControlCode, as the SCM's control handler delivers them.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/exceptions.h"
#include "runtime/handles.h"
#include "service/service.h"
#include "service/status_sender.h"
#include "service_test_support.h"

using namespace velotarn;
using velotarn::test::EventLogWatch;
using velotarn::test::SystemText;

namespace {

struct Report {
  DWORD state, check_point, accepted;
};

bool operator==(const Report& a, const Report& b) {
  return a.state == b.state && a.check_point == b.check_point && a.accepted == b.accepted;
}

std::ostream& operator<<(std::ostream& os, const Report& r) {
  return os << "{state " << r.state << ", check-point " << r.check_point << ", accepted "
            << r.accepted << "}";
}

// Takes every report. A test may make the report of one state fail, or hold it until released
// (to act while the service is at exactly that point).
class Sender {
 public:
  Sender() { previous_ = SetStatusSender(&Sender::Send); instance_ = this; }
  ~Sender() {
    SetStatusSender(previous_);
    instance_ = nullptr;
  }

  // Waits until `count` reports have been made; false after `timeout_ms`.
  bool WaitFor(size_t count, DWORD timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return reports_.size() >= count; });
  }
  std::vector<Report> Reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  std::vector<SERVICE_STATUS> Raw() {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
  }

  std::atomic<DWORD> fail_state{0};   // this state's reports fail with ERROR_INVALID_HANDLE
  std::atomic<DWORD> hold_state{0};   // this state's first report waits for Release()
  unique_handle held{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  unique_handle released{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

 private:
  static BOOL Send(SERVICE_STATUS_HANDLE, SERVICE_STATUS* status) {
    Sender* self = instance_;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->reports_.push_back({status->dwCurrentState, status->dwCheckPoint,
                                status->dwControlsAccepted});
      self->raw_.push_back(*status);
    }
    self->changed_.notify_all();
    DWORD expected = status->dwCurrentState;
    if (self->hold_state.compare_exchange_strong(expected, 0)) {
      SetEvent(self->held.get());
      WaitForSingleObject(self->released.get(), 10000);
    }
    if (self->fail_state.load() == status->dwCurrentState) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    return TRUE;
  }

  static Sender* instance_;
  TStatusSender previous_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Report> reports_;
  std::vector<SERVICE_STATUS> raw_;
};
Sender* Sender::instance_ = nullptr;

void WINAPI IgnoreControl(DWORD) {}

class TestService : public TService {
 public:
  TestService() : TService(nullptr) { SetName(L"svTest"); }
  LPHANDLER_FUNCTION GetServiceController() override { return &IgnoreControl; }

  std::atomic<bool> fail_pause{false}, fail_shutdown{false}, fail_custom{false};

  void HandlePause() override {
    TService::HandlePause();
    if (fail_pause) throw Exception(L"pause refused");
  }
  void HandleShutdown() override {
    if (fail_shutdown) {
      SetStatus(csStopPending);
      throw Exception(L"shutdown refused");
    }
    TService::HandleShutdown();
  }
  void HandleCustomControl(DWORD code) override {
    if (fail_custom) throw Exception(L"custom refused");
    TService::HandleCustomControl(code);
  }
};

// RunService on a thread of its own; the service is stopped and the thread joined on the way
// out, also when the test fails.
class Running {
 public:
  Running(TestService& service, Sender& sender) : service_(service), sender_(sender) {
    thread_ = std::thread([this] { service_.RunService(); });
  }
  ~Running() {
    if (!thread_.joinable()) return;
    sender_.WaitFor(3);
    service_.PostControlCode(SERVICE_CONTROL_STOP);
    thread_.join();
  }
  void Join() { thread_.join(); }

 private:
  TestService& service_;
  Sender& sender_;
  std::thread thread_;
};

constexpr DWORD kAll = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE |
                       SERVICE_ACCEPT_SHUTDOWN;

const std::vector<Report> kStart = {
    {SERVICE_START_PENDING, 1, 0}, {SERVICE_START_PENDING, 2, 0}, {SERVICE_RUNNING, 0, kAll}};

std::vector<Report> Join(std::vector<Report> a, const std::vector<Report>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(ServiceStatus, StartReportsTwiceStartPendingThenRunningAndStopEndsWithStopped) {
  EventLogWatch log;
  Sender sender;
  TestService service;
  Running running(service, sender);
  ASSERT_TRUE(sender.WaitFor(3)) << "the service did not reach RUNNING";
  EXPECT_EQ(sender.Reports(), kStart);

  service.PostControlCode(SERVICE_CONTROL_STOP);
  running.Join();
  std::vector<Report> expected =
      Join(kStart, {{SERVICE_STOP_PENDING, 0, kAll}, {SERVICE_STOPPED, 0, kAll}});
  EXPECT_EQ(sender.Reports(), expected);
  for (const SERVICE_STATUS& s : sender.Raw()) {
    EXPECT_EQ(s.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(s.dwWaitHint, 5000u);
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
  }
  EXPECT_EQ(service.Status(), csStopped);
  EXPECT_TRUE(log.Entries().empty());
}

TEST(ServiceStatus, PauseContinueInterrogateCustomCodeAndStopWhilePaused) {
  EventLogWatch log;
  Sender sender;
  TestService service;
  Running running(service, sender);
  ASSERT_TRUE(sender.WaitFor(3));

  service.PostControlCode(SERVICE_CONTROL_PAUSE);
  ASSERT_TRUE(sender.WaitFor(5));
  service.PostControlCode(SERVICE_CONTROL_CONTINUE);
  ASSERT_TRUE(sender.WaitFor(7));
  service.PostControlCode(SERVICE_CONTROL_INTERROGATE);
  ASSERT_TRUE(sender.WaitFor(8));
  // A continue while running is carried out all the same.
  service.PostControlCode(SERVICE_CONTROL_CONTINUE);
  ASSERT_TRUE(sender.WaitFor(10));
  // A user-defined code reports nothing: the next report is the pause that follows it.
  service.PostControlCode(200);
  service.PostControlCode(SERVICE_CONTROL_PAUSE);
  ASSERT_TRUE(sender.WaitFor(12));
  EXPECT_EQ(service.Status(), csPaused);
  // Stop while paused: the paused service thread still takes the next code.
  service.PostControlCode(SERVICE_CONTROL_STOP);
  running.Join();

  std::vector<Report> expected = Join(kStart, {
      {SERVICE_PAUSE_PENDING, 0, kAll}, {SERVICE_PAUSED, 0, kAll},
      {SERVICE_CONTINUE_PENDING, 0, kAll}, {SERVICE_RUNNING, 0, kAll},
      {SERVICE_RUNNING, 0, kAll},
      {SERVICE_CONTINUE_PENDING, 0, kAll}, {SERVICE_RUNNING, 0, kAll},
      {SERVICE_PAUSE_PENDING, 0, kAll}, {SERVICE_PAUSED, 0, kAll},
      {SERVICE_STOP_PENDING, 0, kAll}, {SERVICE_STOPPED, 0, kAll}});
  EXPECT_EQ(sender.Reports(), expected);
  EXPECT_TRUE(log.Entries().empty());
}

TEST(ServiceStatus, ShutdownStopsLikeStop) {
  Sender sender;
  TestService service;
  Running running(service, sender);
  ASSERT_TRUE(sender.WaitFor(3));
  service.PostControlCode(SERVICE_CONTROL_SHUTDOWN);
  running.Join();
  EXPECT_EQ(sender.Reports(),
            Join(kStart, {{SERVICE_STOP_PENDING, 0, kAll}, {SERVICE_STOPPED, 0, kAll}}));
}

TEST(ServiceStatus, FailingOperationsAreLoggedAndTheStateRestoredExceptOnShutdown) {
  EventLogWatch log;
  Sender sender;
  TestService service;
  Running running(service, sender);
  ASSERT_TRUE(sender.WaitFor(3));

  service.fail_pause = true;
  service.PostControlCode(SERVICE_CONTROL_PAUSE);
  ASSERT_TRUE(sender.WaitFor(6));  // pause pending, paused, and running again
  service.fail_custom = true;
  service.PostControlCode(130);
  ASSERT_TRUE(sender.WaitFor(7));  // running again
  service.fail_shutdown = true;
  service.PostControlCode(SERVICE_CONTROL_SHUTDOWN);
  ASSERT_TRUE(sender.WaitFor(8));  // stop pending, left as it is
  // The service thread still serves: a stop ends it.
  service.PostControlCode(SERVICE_CONTROL_STOP);
  running.Join();

  std::vector<Report> expected = Join(kStart, {
      {SERVICE_PAUSE_PENDING, 0, kAll}, {SERVICE_PAUSED, 0, kAll}, {SERVICE_RUNNING, 0, kAll},
      {SERVICE_RUNNING, 0, kAll},
      {SERVICE_STOP_PENDING, 0, kAll},
      {SERVICE_STOP_PENDING, 1, kAll}, {SERVICE_STOPPED, 0, kAll}});
  EXPECT_EQ(sender.Reports(), expected);
  EXPECT_EQ(log.Entries(), (std::vector<std::wstring>{
                               L"Service failed on pause: pause refused",
                               L"Service failed in custom message(130): custom refused",
                               L"Service failed on shutdown: shutdown refused"}));
}

TEST(ServiceStatus, ControlCodesWithoutAServiceThreadAreDropped) {
  EventLogWatch log;
  Sender sender;
  TestService service;
  // Before any start: nobody to hand it to.
  service.PostControlCode(SERVICE_CONTROL_INTERROGATE);
  service.PostControlCode(SERVICE_CONTROL_STOP);

  // During the first start-pending report, before the service thread exists.
  sender.hold_state = SERVICE_START_PENDING;
  Running running(service, sender);
  ASSERT_EQ(WaitForSingleObject(sender.held.get(), 10000), WAIT_OBJECT_0);
  service.PostControlCode(SERVICE_CONTROL_INTERROGATE);
  service.PostControlCode(SERVICE_CONTROL_STOP);
  SetEvent(sender.released.get());
  ASSERT_TRUE(sender.WaitFor(3));

  // During the stopped report, after the service thread has ended.
  ResetEvent(sender.held.get());
  ResetEvent(sender.released.get());
  sender.hold_state = SERVICE_STOPPED;
  service.PostControlCode(SERVICE_CONTROL_STOP);
  ASSERT_EQ(WaitForSingleObject(sender.held.get(), 10000), WAIT_OBJECT_0);
  service.PostControlCode(SERVICE_CONTROL_INTERROGATE);
  service.PostControlCode(SERVICE_CONTROL_PAUSE);
  SetEvent(sender.released.get());
  running.Join();
  service.PostControlCode(SERVICE_CONTROL_INTERROGATE);

  EXPECT_EQ(sender.Reports(),
            Join(kStart, {{SERVICE_STOP_PENDING, 0, kAll}, {SERVICE_STOPPED, 0, kAll}}));
  EXPECT_TRUE(log.Entries().empty());
}

TEST(ServiceStatus, AFailedReportIsLoggedWithTheSystemTextAndChangesNothing) {
  EventLogWatch log;
  Sender sender;
  sender.fail_state = SERVICE_RUNNING;
  TestService service;
  Running running(service, sender);
  ASSERT_TRUE(sender.WaitFor(3));
  service.PostControlCode(SERVICE_CONTROL_STOP);
  running.Join();
  EXPECT_EQ(sender.Reports(),
            Join(kStart, {{SERVICE_STOP_PENDING, 0, kAll}, {SERVICE_STOPPED, 0, kAll}}));
  EXPECT_EQ(log.Entries(), std::vector<std::wstring>{SystemText(ERROR_INVALID_HANDLE)});
}

TEST(ServiceStatus, EntryWithoutTheScmLogsTheHandlerFailureAndReportsNothing) {
  EventLogWatch log;
  Sender sender;
  TestService service;
  wchar_t name[] = L"svTest", extra[] = L"-x";
  wchar_t* argv[] = {name, extra};
  std::thread entry([&] { service.ServiceEntry(2, argv); });
  entry.join();
  EXPECT_EQ(service.Params(), (std::vector<std::wstring>{L"svTest", L"-x"}));
  EXPECT_TRUE(sender.Reports().empty());
  // Wine's answer for a handler registered outside a service process: no such service.
  EXPECT_EQ(log.Entries(), std::vector<std::wstring>{SystemText(ERROR_SERVICE_DOES_NOT_EXIST)});
}
