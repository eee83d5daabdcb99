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

TRunStarts::TRunStarts()
    : name_(GlobalName(L"starts")),
      mapping_(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                  kRuns * sizeof(LONG), name_.c_str())) {
  EXPECT_TRUE(mapping_) << "CreateFileMappingW: " << GetLastError();
  if (mapping_) counts_ = static_cast<LONG*>(MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, 0));
  EXPECT_NE(counts_, nullptr) << "MapViewOfFile: " << GetLastError();
}

TRunStarts::~TRunStarts() {
  if (counts_ != nullptr) UnmapViewOfFile(const_cast<LONG*>(counts_));
}

long TRunStarts::Of(int run) const {
  return counts_ != nullptr && run >= 0 && run < kRuns ? counts_[run] : -1;
}

long TRunStarts::Total() const {
  long total = 0;
  for (int run = 0; counts_ != nullptr && run < kRuns; ++run) total += counts_[run];
  return total;
}

TLeftoverChildren::~TLeftoverChildren() {
  for (const TProcessEntry& e : FindProcesses({L"ovpn_child.exe", L"openvpn.exe"})) {
    unique_handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, e.pid));
    if (!process) continue;
    TerminateProcess(process.get(), 99);
    WaitForSingleObject(process.get(), 10000);
  }
}

std::wstring SoakChildPath() { return SelfDir() + L"\\ovpn_child.exe"; }
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
