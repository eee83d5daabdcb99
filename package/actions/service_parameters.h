#pragma once
// The values of the service's Parameters key that the package's public properties set. The
// service reads them once, when its process starts, so the package writes them after the
// registration and before the start.
//
// Threading: plain functions; any thread.

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace velotarn {

// The key, in the 64-bit view of the registry.
constexpr wchar_t kParametersKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\svVelotarn\\Parameters";

// The entries of a list given as one text: split at ";", the blanks around each entry removed,
// empty entries dropped.
std::vector<std::wstring> SplitList(std::wstring_view Text);

// Write `Name` below kParametersKey, creating the key when it is missing; they return a Win32
// error code.
DWORD WriteMultiStringValue(const std::wstring& Name, const std::vector<std::wstring>& Entries);
DWORD WriteDwordValue(const std::wstring& Name, DWORD Value);

}  // namespace velotarn
