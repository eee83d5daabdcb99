#include "pipes/pipe_thread.h"

#include <algorithm>
#include <cassert>

#include "runtime/exceptions.h"

namespace velotarn {

bool GuardedSynchronize(TThread* Thread, const SyncCall& Method) {
  try {
    Thread->Synchronize(Method);
    return true;
  } catch (...) {
    Thread->Terminate();
    return false;
  }
}

void TThreadExits::Add(TThread* Thread) {
  assert(IsMainThread());
  std::erase_if(FHandles, [](const unique_handle& h) {
    return WaitForSingleObject(h.get(), 0) == WAIT_OBJECT_0;
  });
  HANDLE copy = nullptr;
  // Without a copy the thread can only not be waited for; the stop still ends.
  if (DuplicateHandle(GetCurrentProcess(), Thread->Handle(), GetCurrentProcess(), &copy,
                      SYNCHRONIZE, FALSE, 0))
    FHandles.emplace_back(copy);
}

bool TThreadExits::WaitAll(DWORD TimeoutMs) {
  assert(IsMainThread());
  const ULONGLONG deadline = GetTickCount64() + TimeoutMs;
  while (!FHandles.empty()) {
    ULONGLONG now = GetTickCount64();
    DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    if (WaitForSingleObject(FHandles.back().get(), left) != WAIT_OBJECT_0) return false;
    FHandles.pop_back();
  }
  return true;
}

unique_handle DuplicateOwnHandle(HANDLE Source) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), Source, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    RaiseLastOSError();
  return unique_handle(copy);
}

unique_handle NewEvent(bool ManualReset) {
  unique_handle event(CreateEventW(nullptr, ManualReset, FALSE, nullptr));
  if (!event) RaiseLastOSError();
  return event;
}

}  // namespace velotarn
