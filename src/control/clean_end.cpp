#include "control/clean_end.h"

#include <thread>

namespace velotarn {

bool SetNamedEvent(const std::wstring& Name) {
  unique_handle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, Name.c_str()));
  return event && SetEvent(event.get());
}

void TerminateAfter(std::vector<unique_handle> Processes, DWORD TimeoutMs) {
  if (Processes.empty()) return;
  std::thread([processes = std::move(Processes), TimeoutMs] {
    const ULONGLONG deadline = GetTickCount64() + TimeoutMs;
    for (const unique_handle& process : processes) {
      const ULONGLONG now = GetTickCount64();
      const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
      if (WaitForSingleObject(process.get(), left) != WAIT_OBJECT_0)
        TerminateProcess(process.get(), 0);  // ignored: it may have ended meanwhile
    }
  }).detach();
}

bool HoldsProcess(const std::vector<unique_handle>& Processes, HANDLE Process) {
  const DWORD id = GetProcessId(Process);
  for (const unique_handle& held : Processes)
    if (id != 0 && GetProcessId(held.get()) == id) return true;
  return false;
}

}  // namespace velotarn
