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

}  // namespace

TServiceEnd EndService(const std::wstring& Name, DWORD TimeoutMs) {
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
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored)) {
      const DWORD error = GetLastError();
      if (error != ERROR_SERVICE_NOT_ACTIVE) return Failed(Name + L" cannot be asked to stop", error);
    }
  }

  switch (WaitForSingleObject(process.get(), TimeoutMs)) {
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
