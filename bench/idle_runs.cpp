// Idle cost: CPU over a window in which nothing happens, memory at its end, and the memory of
// idle threads for comparison.
#include "runs.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace velotarn::bench {

namespace {
constexpr DWORD kStepMs = 30000;

void WaitReady(HANDLE ready, HANDLE process) {
  HANDLE waits[] = {ready, process};
  if (WaitForMultipleObjects(2, waits, FALSE, kStepMs) != WAIT_OBJECT_0)
    throw Exception(L"the idle-thread probe did not get ready");
}
}  // namespace

TIdleWindow IdleWindow(const TProcessProbe& probe, HANDLE process, DWORD window_ms) {
  TCpuSample before = probe.Cpu();
  // Nothing should happen for the whole window; the process ending would be a fault.
  if (WaitForSingleObject(process, window_ms) != WAIT_TIMEOUT)
    throw Exception(L"the measured process ended during an idle window");
  TIdleWindow window;
  window.cpu = probe.Cpu() - before;
  window.memory = probe.Memory();
  return window;
}

TMemorySample ThreadCostOnce(int n) {
  unique_handle ready = NewInheritableEvent();
  unique_handle go = NewInheritableEvent();
  TChild child = StartProcess(Quoted(BaselinePath()) + Format(L" threads %d ", n) +
                                  HandleArg(ready.get()) + L" " + HandleArg(go.get()),
                              {ready.get(), go.get()});
  TMemorySample with_threads, without;
  try {
    WaitReady(ready.get(), child.Process.get());
    TProcessProbe probe(child.Process.get(), child.Pid, L"bench_baseline.exe");
    without = probe.Memory();
    SetEvent(go.get());
    WaitReady(ready.get(), child.Process.get());
    with_threads = probe.Memory();
    SetEvent(go.get());
  } catch (...) {
    WaitExitOrKill(child.Process.get(), 0);
    throw;
  }
  if (WaitExitOrKill(child.Process.get(), kStepMs) != 0)
    throw Exception(L"the idle-thread probe failed");
  TMemorySample per_thread = with_threads - without;
  per_thread.pagefile_kib /= n;
  per_thread.rss_kib /= n;
  return per_thread;
}

}  // namespace velotarn::bench
