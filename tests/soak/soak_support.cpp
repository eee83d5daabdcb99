#include "soak_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "process_probe.h"
#include "runtime/text.h"
#include "service_test_support.h"
#include "test_support.h"

namespace velotarn::test {

void StartVelotarnService(TRunningService* running) {
  ASSERT_FALSE(ServicePath().empty()) << "velotarnsvc.exe is not built";
  ASSERT_EQ(RunProgram(ServicePath(), L"/install /silent").exit_code, 0);
  running->service = OpenVelotarn();
  ASSERT_TRUE(running->service) << "svVelotarn is not registered";
  ASSERT_TRUE(StartServiceW(running->service.get(), 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(running->service.get(), SERVICE_RUNNING, 30000))
      << "svVelotarn did not report RUNNING";
  running->pid = QueryStatus(running->service.get()).dwProcessId;
  ASSERT_NE(running->pid, 0u);
  running->process.reset(OpenProcess(
      SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, running->pid));
  ASSERT_TRUE(running->process) << "OpenProcess: " << GetLastError();
}

std::wstring GlobalName(const std::wstring& what) {
  return L"Global\\velotarn-soak-" + what + L"-" + std::to_wstring(GetCurrentProcessId());
}

TStartCounter::TStartCounter(const std::wstring& what)
    : name_(GlobalName(what)), semaphore_(CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, name_.c_str())) {
  EXPECT_TRUE(semaphore_) << "CreateSemaphoreW: " << GetLastError();
}

long TStartCounter::Count() const {
  // One more release reports the count before it; the wait takes that release back.
  LONG before = -1;
  if (!ReleaseSemaphore(semaphore_.get(), 1, &before)) return -1;
  WaitForSingleObject(semaphore_.get(), 0);
  return before;
}

TLeftoverChildren::~TLeftoverChildren() {
  for (const TProcessEntry& e : FindProcesses({L"soak_child.exe", L"openvpn.exe"})) {
    unique_handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, e.pid));
    if (!process) continue;
    TerminateProcess(process.get(), 99);
    WaitForSingleObject(process.get(), 10000);
  }
}

std::wstring SoakChildPath() { return SelfDir() + L"\\soak_child.exe"; }
std::wstring SoakOpenvpnPath() { return SelfDir() + L"\\openvpn.exe"; }

uint64_t SoakSeed() {
  wchar_t text[32] = {};
  if (GetEnvironmentVariableW(L"VELOTARN_SOAK_SEED", text, 32) > 0)
    return std::wcstoull(text, nullptr, 10);
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart) % 1000000007ull;
}

}  // namespace velotarn::test
