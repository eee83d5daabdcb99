// The idle-thread probe: what one thread that blocks in a wait costs a process, measured the
// same way as the service, so that a per-connection figure can be given net of its thread.
#include <process.h>

#include <atomic>
#include <vector>

#include "baseline.h"
#include "bench_util.h"
#include "runtime/exceptions.h"

namespace velotarn::bench {

namespace {
constexpr DWORD kStepMs = 120000;

struct TProbe {
  HANDLE stop;
  HANDLE all_waiting;
  std::atomic<long> left;
};

unsigned __stdcall IdleThread(void* param) {
  auto* probe = static_cast<TProbe*>(param);
  if (--probe->left == 0) SetEvent(probe->all_waiting);
  WaitForSingleObject(probe->stop, INFINITE);
  return 0;
}
}  // namespace

int RunIdleThreads(int, wchar_t** argv) {
  long n = std::wcstol(argv[2], nullptr, 10);
  HANDLE ready = ParseHandleArg(argv[3]);
  HANDLE go = ParseHandleArg(argv[4]);
  unique_handle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  unique_handle all_waiting(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stop || !all_waiting) RaiseLastOSError();
  TProbe probe{stop.get(), all_waiting.get(), {n}};

  SetEvent(ready);
  if (WaitForSingleObject(go, kStepMs) != WAIT_OBJECT_0) return 3;
  std::vector<unique_handle> threads;
  // The same start as every thread of the program: default stack, started by the C runtime.
  for (long i = 0; i < n; ++i) {
    threads.emplace_back(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &IdleThread, &probe, 0, nullptr)));
    if (!threads.back()) {
      SetEvent(stop.get());
      for (auto& t : threads) WaitForSingleObject(t.get(), kStepMs);
      RaiseLastOSError();
    }
  }
  if (n > 0) WaitForSingleObject(all_waiting.get(), kStepMs);
  SetEvent(ready);
  WaitForSingleObject(go, kStepMs);
  SetEvent(stop.get());
  for (auto& t : threads) WaitForSingleObject(t.get(), kStepMs);
  return 0;
}

}  // namespace velotarn::bench
