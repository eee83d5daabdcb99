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
#include "service/event_sources.h"
#include "service/service_config.h"

namespace velotarn {

namespace {
bool LocaleEqualsIgnoringCase(std::wstring_view Left, std::wstring_view Right) {
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, Left.data(),
                        static_cast<int>(Left.size()), Right.data(),
                        static_cast<int>(Right.size())) == CSTR_EQUAL;
}
}  // namespace

bool HasSwitch(const std::wstring& Name) {
  return FindSwitch(SplitCommandLine(GetCommandLineW()), Name, &LocaleEqualsIgnoringCase);
}

std::wstring RegistrationPath(const std::wstring& ProgramPath) {
  if (ProgramPath.find(L' ') == std::wstring::npos) return ProgramPath;
  return L"\"" + ProgramPath + L"\"";
}

void CreateRegistration(TService& Service, SC_HANDLE Manager) {
  // Read in full: a path longer than MAX_PATH is registered as it is, never cut short.
  std::wstring path = RegistrationPath(ModuleFileName());
  std::wstring display_name = Service.DisplayName();
  // An empty list of dependencies: the terminating empty name alone.
  std::wstring dependencies;
  for (const std::wstring& name : Service.Dependencies()) dependencies += name + L'\0';
  dependencies += L'\0';
  const std::wstring& start_name = Service.ServiceStartName();
  unique_schandle created(CreateServiceW(
      Manager, Service.Name().c_str(), display_name.c_str(), SERVICE_ALL_ACCESS,
      Service.ServiceTypeCode(), Service.StartTypeCode(), Service.ErrorControlCode(), path.c_str(),
      Service.LoadGroup().c_str(), nullptr, dependencies.c_str(),
      start_name.empty() ? nullptr : start_name.c_str(), Service.Password().c_str()));
  if (!created) RaiseLastOSError();
  ConfigureRegistration(created.get());
}

void DeleteRegistration(TService& Service, SC_HANDLE Manager) {
  unique_schandle handle(OpenServiceW(Manager, Service.Name().c_str(), SERVICE_ALL_ACCESS));
  if (!handle) RaiseLastOSError();
  // A running service stays registered, marked for deletion, until it stops.
  if (!DeleteService(handle.get())) RaiseLastOSError();
}

void UpdateRegistration(bool Install, bool Silent) {
  assert(IsMainThread());
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) RaiseLastOSError();  // not caught here: ends the run as an unhandled error
  bool success = true;
  // The event log sources go and come with the registration: the program's file name, and
  // the service's name, with this program file as their message file.
  const std::wstring program = ModuleFileName();
  const std::wstring program_source = ExtractFileName(program);
  for (TService* service : ServiceApplication->Services()) {
    try {
      if (Install) {
        CreateRegistration(*service, manager.get());
        AddEventSource(program_source, program);
        AddEventSource(service->Name(), program);
      } else {
        DeleteRegistration(*service, manager.get());
        RemoveEventSource(service->Name());
        RemoveEventSource(program_source);
      }
    } catch (...) {
      success = false;
      const wchar_t* format = Install ? L"Service \"%ls\" failed to install with error: \"%ls\""
                                      : L"Service \"%ls\" failed to uninstall with error: \"%ls\"";
      const std::wstring message = CurrentExceptionMessage();
      ShowOutcome(Format(format, service->DisplayName().c_str(), message.c_str()), okError);
    }
  }
  if (success && !Silent)
    ShowOutcome(Install ? L"Service installed successfully" : L"Service uninstalled successfully",
                okInformation);
}

void ShowOutcome(const std::wstring& Text, TOutcomeKind Kind) {
  UINT icon = Kind == okError ? MB_ICONERROR : MB_ICONINFORMATION;
  const wchar_t* caption = Kind == okError ? L"Error" : L"Information";
  MessageBoxW(Application != nullptr ? Application->Handle() : nullptr, Text.c_str(), caption,
              MB_OK | icon);
}

}  // namespace velotarn
