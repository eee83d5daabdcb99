#include "service_parameters.h"

#include "runtime/handles.h"

namespace velotarn {

namespace {

bool IsBlank(wchar_t C) { return C == L' ' || C == L'\t'; }

DWORD WriteValue(const std::wstring& Name, DWORD Type, const void* Data, size_t Size) {
  HKEY opened = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParametersKey, 0, nullptr, 0,
                                   KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &opened, nullptr);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  unique_hkey key(opened);
  return static_cast<DWORD>(RegSetValueExW(key.get(), Name.c_str(), 0, Type,
                                           static_cast<const BYTE*>(Data),
                                           static_cast<DWORD>(Size)));
}

}  // namespace

std::vector<std::wstring> SplitList(std::wstring_view Text) {
  std::vector<std::wstring> entries;
  size_t start = 0;
  while (start <= Text.size()) {
    size_t end = Text.find(L';', start);
    if (end == std::wstring_view::npos) end = Text.size();
    size_t first = start, last = end;
    while (first < last && IsBlank(Text[first])) ++first;
    while (last > first && IsBlank(Text[last - 1])) --last;
    if (last > first) entries.emplace_back(Text.substr(first, last - first));
    start = end + 1;
  }
  return entries;
}

DWORD WriteMultiStringValue(const std::wstring& Name, const std::vector<std::wstring>& Entries) {
  // Each entry ends in a null character, and the list in one more.
  std::wstring data;
  for (const std::wstring& entry : Entries) data.append(entry).push_back(L'\0');
  data.push_back(L'\0');
  return WriteValue(Name, REG_MULTI_SZ, data.data(), data.size() * sizeof(wchar_t));
}

DWORD WriteDwordValue(const std::wstring& Name, DWORD Value) {
  return WriteValue(Name, REG_DWORD, &Value, sizeof Value);
}

}  // namespace velotarn
