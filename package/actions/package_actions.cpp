// The custom actions of the installer package (package/velotarnsvc.wxs), exported by
// velotarn_package_actions.dll. The deferred ones run as the installation's own account and
// take their input from CustomActionData (a property that the package sets, under the action's
// name, before the installation script is written). Each writes what it did into the
// installation log; a failure ends the installation with ERROR_INSTALL_FAILURE, which rolls it
// back.
//
// Threading: Windows Installer calls each action on a thread of its own; they share nothing.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>

#include "runtime/handles.h"
#include "runtime/sys_error.h"
#include "runtime/text.h"
#include "service_control.h"
#include "service_parameters.h"

namespace velotarn {

namespace {

// How long the service's process may take to end after the stop request.
constexpr DWORD kServiceEndTimeoutMs = 60000;

struct TMsiHandleTraits {
  using Handle = MSIHANDLE;
  static Handle Invalid() noexcept { return 0; }
  static bool IsValid(Handle Value) noexcept { return Value != 0; }
  static void Close(Handle Value) noexcept { MsiCloseHandle(Value); }
};
using unique_msihandle = UniqueHandle<TMsiHandleTraits>;

std::wstring Property(MSIHANDLE Install, const wchar_t* Name) {
  std::wstring value(256, L'\0');
  for (;;) {
    DWORD size = static_cast<DWORD>(value.size());
    UINT status = MsiGetPropertyW(Install, Name, value.data(), &size);
    if (status == ERROR_SUCCESS) {
      value.resize(size);
      return value;
    }
    if (status != ERROR_MORE_DATA) return {};
    value.resize(size + 1);  // size excludes the terminating null
  }
}

std::wstring ActionData(MSIHANDLE Install) { return Property(Install, L"CustomActionData"); }

// One line in the installation log. The text goes into a field of the record, not into its
// template, so that brackets in it are not taken for properties.
void Log(MSIHANDLE Install, const std::wstring& Text) {
  unique_msihandle record(MsiCreateRecord(1));
  if (!record) return;
  MsiRecordSetStringW(record.get(), 0, L"velotarn: [1]");
  MsiRecordSetStringW(record.get(), 1, Text.c_str());
  MsiProcessMessage(Install, INSTALLMESSAGE_INFO, record.get());
}

// Logs what a write did; a failed write fails the installation.
UINT Finish(MSIHANDLE Install, DWORD Error, const std::wstring& Text) {
  if (Error == ERROR_SUCCESS) {
    Log(Install, Text);
    return ERROR_SUCCESS;
  }
  Log(Install, Format(L"%ls: error %lu, %ls", Text.c_str(), Error, SysErrorMessage(Error).c_str()));
  return ERROR_INSTALL_FAILURE;
}

// Runs an action's body; an error that escapes it fails the installation instead of the
// process that hosts the action.
template <class TBody>
UINT Guarded(MSIHANDLE Install, const wchar_t* Action, TBody Body) {
  try {
    return Body();
  } catch (...) {
    Log(Install, std::wstring(Action) + L" failed unexpectedly");
    return ERROR_INSTALL_FAILURE;
  }
}

UINT WriteList(MSIHANDLE Install, const wchar_t* PropertyName, const wchar_t* ValueName) {
  std::vector<std::wstring> entries = SplitList(ActionData(Install));
  if (entries.empty()) {
    Log(Install, std::wstring(PropertyName) + L" holds no entry; give it as \"entry;entry;...\"");
    return ERROR_INSTALL_FAILURE;
  }
  std::wstring listed;
  for (const std::wstring& entry : entries) listed += L"\n  " + entry;
  return Finish(Install, WriteMultiStringValue(ValueName, entries),
                 Format(L"%ls\\%ls, %zu entries:%ls", kParametersKey, ValueName, entries.size(),
                        listed.c_str()));
}

}  // namespace

}  // namespace velotarn

using namespace velotarn;

// CustomActionData: the service's name. Asks the service to stop and waits for its process to
// end, before its program file is replaced or removed and before its registration is removed.
extern "C" __declspec(dllexport) UINT __stdcall EndServiceProcess(MSIHANDLE Install) {
  return Guarded(Install, L"EndServiceProcess", [&] {
    TServiceEnd end = EndService(ActionData(Install), kServiceEndTimeoutMs);
    Log(Install, end.Outcome);
    return static_cast<UINT>(end.Error == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE);
  });
}

// Immediate, in a removal. Sets ServiceKeptBy to another product that still uses the service's
// component (property ServiceComponentId): the newer version that has just been installed over
// this one. The service's program file stays for it, and so do the service and its
// registration.
extern "C" __declspec(dllexport) UINT __stdcall FindOtherClients(MSIHANDLE Install) {
  return Guarded(Install, L"FindOtherClients", [&] {
    const std::wstring component = Property(Install, L"ServiceComponentId");
    const std::wstring self = Property(Install, L"ProductCode");
    wchar_t product[39] = {};
    for (DWORD i = 0; MsiEnumClientsW(component.c_str(), i, product) == ERROR_SUCCESS; ++i) {
      if (_wcsicmp(product, self.c_str()) == 0) continue;
      MsiSetPropertyW(Install, L"ServiceKeptBy", product);
      Log(Install, L"the service stays with product " + std::wstring(product));
      return static_cast<UINT>(ERROR_SUCCESS);
    }
    Log(Install, L"no other product uses the service");
    return static_cast<UINT>(ERROR_SUCCESS);
  });
}

// Rollback. CustomActionData: the service's name. Ends the service and removes its
// registration, which this installation made.
extern "C" __declspec(dllexport) UINT __stdcall RemoveServiceRegistration(MSIHANDLE Install) {
  return Guarded(Install, L"RemoveServiceRegistration", [&] {
    TServiceEnd removal = RemoveService(ActionData(Install), kServiceEndTimeoutMs);
    Log(Install, removal.Outcome);
    return static_cast<UINT>(removal.Error == ERROR_SUCCESS ? ERROR_SUCCESS
                                                            : ERROR_INSTALL_FAILURE);
  });
}

// CustomActionData: ALLOWEDCLIENTS, account names or SID strings with ";" between them.
extern "C" __declspec(dllexport) UINT __stdcall WriteAllowedClients(MSIHANDLE Install) {
  return Guarded(Install, L"WriteAllowedClients",
                 [&] { return WriteList(Install, L"ALLOWEDCLIENTS", L"AllowedClients"); });
}

// CustomActionData: ALLOWEDPROGRAMS, full program paths with ";" between them.
extern "C" __declspec(dllexport) UINT __stdcall WriteAllowedPrograms(MSIHANDLE Install) {
  return Guarded(Install, L"WriteAllowedPrograms",
                 [&] { return WriteList(Install, L"ALLOWEDPROGRAMS", L"AllowedPrograms"); });
}

// CustomActionData: LOGREQUESTS, 1 (log every request) or 0.
extern "C" __declspec(dllexport) UINT __stdcall WriteLogRequests(MSIHANDLE Install) {
  return Guarded(Install, L"WriteLogRequests", [&] {
    const std::wstring text = ActionData(Install);
    if (text != L"0" && text != L"1") {
      Log(Install, L"LOGREQUESTS must be 0 or 1, not \"" + text + L"\"");
      return static_cast<UINT>(ERROR_INSTALL_FAILURE);
    }
    return Finish(Install, WriteDwordValue(L"LogRequests", text == L"1" ? 1 : 0),
                   Format(L"%ls\\LogRequests = %ls", kParametersKey, text.c_str()));
  });
}
