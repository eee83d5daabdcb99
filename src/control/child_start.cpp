#include "control/child_start.h"

#include "runtime/exceptions.h"

namespace velotarn {

TChildOutputPipe CreateChildOutputPipe() {
  // Made non-inheritable, so that no other child can ever pick up either end; only the write
  // end becomes inheritable, and it is listed for our own child alone.
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof(sa);
  sa.bInheritHandle = FALSE;
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!CreatePipe(&read, &write, &sa, 0)) RaiseLastOSError();
  TChildOutputPipe pipe{unique_handle(read), unique_handle(write)};
  if (!SetHandleInformation(pipe.Write.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
    RaiseLastOSError();
  return pipe;
}

namespace {

HANDLE MakeChildJob() noexcept {
  unique_handle job(CreateJobObjectW(nullptr, nullptr));
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof(limits)))
    return nullptr;
  return job.release();
}

}  // namespace

HANDLE ChildJob() noexcept {
  // Deliberately never closed (see the header): a trivially destructible static, so that it is
  // still there for a runner that outlives the exit step.
  static const HANDLE job = MakeChildJob();
  return job;
}

unique_handle InheritableStdInput() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return {};
  HANDLE copy = nullptr;
  // A duplicate leaves the process's own standard input handle as it is.
  if (!DuplicateHandle(GetCurrentProcess(), input, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS))
    return {};
  return unique_handle(copy);
}

TInheritedHandleList::TInheritedHandleList(std::vector<HANDLE> Handles)
    : FHandles(std::move(Handles)) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);  // asks for the size only
  FStorage.resize(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(FStorage.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) RaiseLastOSError();
  FList = list;
  if (!FHandles.empty() &&
      !UpdateProcThreadAttribute(FList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, FHandles.data(),
                                 FHandles.size() * sizeof(HANDLE), nullptr, nullptr)) {
    DWORD error = GetLastError();
    DeleteProcThreadAttributeList(FList);
    FList = nullptr;
    RaiseLastOSError(error);
  }
}

TInheritedHandleList::~TInheritedHandleList() {
  if (FList) DeleteProcThreadAttributeList(FList);
}

}  // namespace velotarn
