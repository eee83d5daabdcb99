// Stopping the real service in the middle of a busy run: a child streams lines, a client reads
// them, and the SCM stops the service. The service must report STOPPED, end the child, and the
// process must exit (code 0) within the waits it is allowed: 20 s for the child to end, 10 s for
// the runner's end, 10 s for the pipe threads.
#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <set>
#include <thread>

#include "process_probe.h"
#include "service_test_support.h"
#include "soak_client.h"
#include "soak_requests.h"
#include "soak_support.h"
#include "test_support.h"

using namespace velotarn;
using namespace velotarn::test;

namespace {

constexpr DWORD kAllowedExitMs = 20000 + 10000 + 10000;
constexpr DWORD kMarginMs = 15000;
constexpr size_t kRecordsBeforeStop = 50;

// What the reading client saw, read once its thread has been joined.
struct TStreamSeen {
  size_t records = 0;
  bool broken = false;
  DWORD break_error = 0;
  std::vector<std::string> faults;
};

// The first record of a streaming child: "pid N" CR. Returns N, or 0.
DWORD ParsePid(const std::string& text) {
  if (text.rfind("pid ", 0) != 0 || text.size() < 6 || text.back() != '\r') return 0;
  return static_cast<DWORD>(std::strtoul(text.c_str() + 4, nullptr, 10));
}

// The client: starts a streaming child, hands its process id over once records flow, then
// reads until the service closes the pipe, checking that the lines come whole and in order.
void ReadStream(std::promise<DWORD>* child_pid, TStreamSeen* seen) {
  TSoakClient client;
  DWORD pid = 0;
  if (client.Connect() &&
      client.Send(ConnectRequest(L"\"" + SoakChildPath() + L"\" stream:7", SelfDir(),
                                 TRequestForm::kAnsiCrLf)) &&
      client.Receive(kRecordsBeforeStop, 30000) >= kRecordsBeforeStop) {
    pid = ParsePid(client.Texts().front());
  }
  child_pid->set_value(pid);
  if (pid == 0) return;
  client.Receive(SIZE_MAX, 90000);  // ends when the service closes its end
  seen->records = client.RecordCount();
  seen->broken = client.Broken();
  seen->break_error = client.BreakError();
  seen->faults = client.Faults();
  const std::vector<std::string>& texts = client.Texts();
  for (size_t i = 1; i < texts.size(); ++i) {
    TSoakLine line;
    if (!ParseSoakLine(texts[i], &line) || line.run != 7 || line.index != static_cast<int>(i) ||
        texts[i][0] != '\n') {
      seen->faults.push_back("record " + std::to_string(i) + ": " + Printable(texts[i]));
      break;
    }
  }
}

}  // namespace

TEST(BusyStop, StopDuringARunEndsTheChildAndTheProcessWithinItsWaits) {
  if (ServicePath().empty()) GTEST_SKIP() << "velotarnsvc.exe is not built";
  CleanServiceSlot slot;
  TLeftoverChildren leftovers;
  EventLogWatch log;
  TRunningService svc;
  ASSERT_NO_FATAL_FAILURE(StartVelotarnService(&svc));
  std::set<DWORD> processes_before;
  for (const TProcessEntry& e : ProcessList()) processes_before.insert(e.pid);

  std::promise<DWORD> child_pid;
  std::future<DWORD> pid_known = child_pid.get_future();
  TStreamSeen seen;
  std::jthread reader(ReadStream, &child_pid, &seen);
  ASSERT_EQ(pid_known.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  const DWORD pid = pid_known.get();
  ASSERT_NE(pid, 0u) << "the streaming child's output did not come";
  unique_handle child(OpenProcess(SYNCHRONIZE, FALSE, pid));
  ASSERT_TRUE(child) << "the child is not running";
  EXPECT_EQ(FindProcesses({}, svc.pid).size(), 1u) << "the service should have one child";

  const ULONGLONG stop_at = GetTickCount64();
  auto since_stop = [&] { return static_cast<DWORD>(GetTickCount64() - stop_at); };
  auto left_of = [&](DWORD bound) { return bound > since_stop() ? bound - since_stop() : 0; };
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(svc.service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_TRUE(WaitForState(svc.service.get(), SERVICE_STOPPED, kAllowedExitMs + kMarginMs))
      << "the service did not report STOPPED";
  const DWORD stopped_ms = since_stop();
  EXPECT_EQ(WaitForSingleObject(child.get(), left_of(20000 + kMarginMs)),
            static_cast<DWORD>(WAIT_OBJECT_0))
      << "the child still runs";
  const DWORD child_ms = since_stop();
  ASSERT_EQ(WaitForSingleObject(svc.process.get(), left_of(kAllowedExitMs + kMarginMs)),
            static_cast<DWORD>(WAIT_OBJECT_0))
      << "the service process did not exit within " << kAllowedExitMs + kMarginMs << " ms";
  const DWORD exit_ms = since_stop();
  DWORD exit_code = 99;
  GetExitCodeProcess(svc.process.get(), &exit_code);
  EXPECT_EQ(exit_code, 0u);
  std::printf("after the stop control: STOPPED at %lu ms, child ended at %lu ms, "
              "process exited at %lu ms\n",
              stopped_ms, child_ms, exit_ms);

  reader.join();
  std::printf("the client read %zu records; the pipe broke with error %lu\n", seen.records,
              seen.break_error);
  EXPECT_TRUE(seen.broken) << "the pipe stayed open after the service process had exited";
  for (const std::string& fault : seen.faults) ADD_FAILURE() << "received " << fault;
  // Neither the child nor anything it started is left.
  std::vector<TProcessEntry> new_processes;
  for (const TProcessEntry& e : ProcessList())
    if (!processes_before.count(e.pid)) new_processes.push_back(e);
  EXPECT_TRUE(new_processes.empty()) << "processes left running: " << Describe(new_processes);
  EXPECT_TRUE(log.Entries().empty());
}
