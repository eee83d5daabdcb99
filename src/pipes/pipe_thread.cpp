#include "pipes/pipe_thread.h"

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
