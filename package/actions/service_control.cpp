#include "service_control.h"

#include "runtime/handles.h"
#include "runtime/sys_error.h"
#include "runtime/text.h"

namespace velotarn {

namespace {

TServiceEnd Failed(const std::wstring& What, DWORD Error) {
  return {Error,
          Format(L"%ls: error %lu, %ls", What.c_str(), Error, SysErrorMessage(Error).c_str())};
}

// The service `Name` opened with `Access`. When it cannot be, `*Failure` says why: with
// ERROR_SUCCESS when the service is not registered.
unique_schandle OpenNamedService(const std::wstring& Name, DWORD Access, TServiceEnd* Failure) {
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    const DWORD error = GetLastError();
    *Failure = Failed(L"the service control manager cannot be opened", error);
    return {};
  }
  unique_schandle service(OpenServiceW(manager.get(), Name.c_str(), Access));
  if (!service) {
    const DWORD error = GetLastError();
    *Failure = error == ERROR_SERVICE_DOES_NOT_EXIST ? TServiceEnd{ERROR_SUCCESS, Name + L" is not registered"}
                        : Failed(Name + L" cannot be opened", error);
  }
  return service;
}

// Waits up to TimeoutMs for a service that is starting to leave that state; false when it did
// not within the time or the change cannot be waited for. The wait is alertable: the service
// control manager's notification arrives as a call on this thread.
bool WaitForStartEnd(SC_HANDLE Service, SERVICE_NOTIFYW& Notify, DWORD TimeoutMs) {
  Notify = SERVICE_NOTIFYW{};
  Notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
  Notify.pfnNotifyCallback = [](void*) {};
  const DWORD states = SERVICE_NOTIFY_RUNNING | SERVICE_NOTIFY_PAUSED | SERVICE_NOTIFY_STOPPED |
                       SERVICE_NOTIFY_STOP_PENDING | SERVICE_NOTIFY_DELETE_PENDING;
  if (NotifyServiceStatusChangeW(Service, states, &Notify) != ERROR_SUCCESS) return false;
  return SleepEx(TimeoutMs, TRUE) == WAIT_IO_COMPLETION;
}

}  // namespace

TServiceEnd EndService(const std::wstring& Name, DWORD TimeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + TimeoutMs;
  auto time_left = [deadline] {
    const ULONGLONG now = GetTickCount64();
    return static_cast<DWORD>(now < deadline ? deadline - now : 0);
  };
  // Declared before the service's handle: a notification still registered when the wait ends
  // refers to it until that handle is closed.
  SERVICE_NOTIFYW started{};
  TServiceEnd failure;
  unique_schandle service = OpenNamedService(Name, SERVICE_STOP | SERVICE_QUERY_STATUS, &failure);
  if (!service) return failure;

  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &needed)) {
    const DWORD error = GetLastError();
    return Failed(L"the status of " + Name + L" cannot be read", error);
  }
  if (status.dwProcessId == 0) return {ERROR_SUCCESS, Name + L" has no process"};

  // The process is opened before the stop request, while the id still names it: once the
  // process has ended, its id can be given to another.
  unique_handle process(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
  if (!process) {
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_PARAMETER) return {ERROR_SUCCESS, Name + L"'s process has ended"};
    return Failed(
        Format(L"the process of %ls (%lu) cannot be opened", Name.c_str(), status.dwProcessId),
        error);
  }
  if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
    SERVICE_STATUS ignored{};
    while (!ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored)) {
      const DWORD error = GetLastError();
      if (error == ERROR_SERVICE_NOT_ACTIVE) break;
      // A service that is still starting takes the request once it has started (an uninstall
      // or an upgrade right after an installation meets one on a busy machine).
      if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL || !WaitForStartEnd(service.get(), started, time_left())) {
        SERVICE_STATUS now{};
        QueryServiceStatus(service.get(), &now);
        return Failed(Format(L"%ls cannot be asked to stop (state %lu, controls %lu)", Name.c_str(),
                             now.dwCurrentState, now.dwControlsAccepted),
                      error);
      }
    }
  }

  switch (WaitForSingleObject(process.get(), time_left())) {
    case WAIT_OBJECT_0:
      return {ERROR_SUCCESS,
              Format(L"the process of %ls (%lu) has ended", Name.c_str(), status.dwProcessId)};
    case WAIT_TIMEOUT:
      return {ERROR_SERVICE_REQUEST_TIMEOUT,
              Format(L"the process of %ls (%lu) did not end within %lu s", Name.c_str(),
                     status.dwProcessId, TimeoutMs / 1000)};
    default: {
      const DWORD error = GetLastError();
      return Failed(L"waiting for the process of " + Name, error);
    }
  }
}

TServiceEnd RemoveService(const std::wstring& Name, DWORD TimeoutMs) {
  TServiceEnd end = EndService(Name, TimeoutMs);
  if (end.Error != ERROR_SUCCESS) return end;
  TServiceEnd failure;
  unique_schandle service = OpenNamedService(Name, DELETE, &failure);
  if (!service) return failure;
  if (!DeleteService(service.get())) {
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_MARKED_FOR_DELETE) return Failed(Name + L" cannot be removed", error);
  }
  return {ERROR_SUCCESS, end.Outcome + L"; " + Name + L" is removed"};
}

}  // namespace velotarn
