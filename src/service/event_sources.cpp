#include "service/event_sources.h"

#include <windows.h>

#include "runtime/exceptions.h"
#include "runtime/handles.h"

namespace velotarn {

namespace {

std::wstring SourceKey(const std::wstring& Source) {
  return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + Source;
}

void Check(LSTATUS Status) {
  if (Status != ERROR_SUCCESS) RaiseLastOSError(static_cast<DWORD>(Status));
}

}  // namespace

void AddEventSource(const std::wstring& Source, const std::wstring& MessageFile) {
  HKEY raw = nullptr;
  Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE, SourceKey(Source).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &raw, nullptr));
  unique_hkey key(raw);
  Check(RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(MessageFile.c_str()),
                       static_cast<DWORD>((MessageFile.size() + 1) * sizeof(wchar_t))));
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  Check(RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&types), sizeof types));
}

void RemoveEventSource(const std::wstring& Source) {
  const LSTATUS status =
      RegDeleteKeyExW(HKEY_LOCAL_MACHINE, SourceKey(Source).c_str(), KEY_WOW64_64KEY, 0);
  if (status != ERROR_FILE_NOT_FOUND) Check(status);
}

}  // namespace velotarn
