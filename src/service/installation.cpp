#include "service/installation.h"

#include <cassert>

#include "runtime/application.h"
#include "runtime/exceptions.h"
#include "runtime/handles.h"
#include "runtime/synchronize.h"
#include "runtime/text.h"
#include "service/command_line.h"
#include "service/service.h"
#include "service/service_application.h"

namespace velotarn {

namespace {
bool LocaleEqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(),
                        static_cast<int>(a.size()), b.data(),
                        static_cast<int>(b.size())) == CSTR_EQUAL;
}
}  // namespace

bool HasSwitch(const std::wstring& name) {
  return FindSwitch(SplitCommandLine(GetCommandLineW()), name, &LocaleEqualsIgnoringCase);
}

std::wstring RegistrationPath(const std::wstring& program_path) {
  if (program_path.find(L' ') == std::wstring::npos) return program_path;
  return L"\"" + program_path + L"\"";
}

void CreateRegistration(TService& service, SC_HANDLE manager) {
  // Read in full: a path longer than MAX_PATH is registered as it is, never cut short.
  std::wstring path = RegistrationPath(ModuleFileName());
  std::wstring display_name = service.DisplayName();
  // An empty list of dependencies: the terminating empty name alone.
  std::wstring dependencies;
  for (const std::wstring& name : service.Dependencies()) dependencies += name + L'\0';
  dependencies += L'\0';
  const std::wstring& start_name = service.ServiceStartName();
  unique_schandle created(CreateServiceW(
      manager, service.Name().c_str(), display_name.c_str(), SERVICE_ALL_ACCESS,
      service.ServiceTypeCode(), service.StartTypeCode(), service.ErrorControlCode(),
      path.c_str(), service.LoadGroup().c_str(), nullptr, dependencies.c_str(),
      start_name.empty() ? nullptr : start_name.c_str(), service.Password().c_str()));
  if (!created) RaiseLastOSError();
}

void DeleteRegistration(TService& service, SC_HANDLE manager) {
  unique_schandle handle(OpenServiceW(manager, service.Name().c_str(), SERVICE_ALL_ACCESS));
  if (!handle) RaiseLastOSError();
  // A running service stays registered, marked for deletion, until it stops.
  if (!DeleteService(handle.get())) RaiseLastOSError();
}

void UpdateRegistration(bool install, bool silent) {
  assert(IsMainThread());
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) RaiseLastOSError();  // not caught here: ends the run as an unhandled error
  bool success = true;
  for (TService* service : ServiceApplication->Services()) {
    try {
      if (install)
        CreateRegistration(*service, manager.get());
      else
        DeleteRegistration(*service, manager.get());
    } catch (...) {
      success = false;
      const wchar_t* format = install ? L"Service \"%ls\" failed to install with error: \"%ls\""
                                      : L"Service \"%ls\" failed to uninstall with error: \"%ls\"";
      const std::wstring message = CurrentExceptionMessage();
      ShowOutcome(Format(format, service->DisplayName().c_str(), message.c_str()), okError);
    }
  }
  if (success && !silent)
    ShowOutcome(install ? L"Service installed successfully" : L"Service uninstalled successfully",
                okInformation);
}

void ShowOutcome(const std::wstring& text, TOutcomeKind kind) {
  UINT icon = kind == okError ? MB_ICONERROR : MB_ICONINFORMATION;
  const wchar_t* caption = kind == okError ? L"Error" : L"Information";
  MessageBoxW(Application != nullptr ? Application->Handle() : nullptr, text.c_str(), caption,
              MB_OK | icon);
}

}  // namespace velotarn
