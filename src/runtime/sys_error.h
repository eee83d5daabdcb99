#pragma once
// System message texts: the one place where Win32 error codes become words.

#include <windows.h>

#include <string>

namespace velotarn {

// FormatMessageW's text for `code` with every trailing control character, blank and full stop
// removed; empty when the system has no text for it.
std::wstring SysErrorMessage(DWORD Code);

// Removes trailing characters that are control characters (<= 32) or '.'.
std::wstring TrimMessageTail(std::wstring Text);

}  // namespace velotarn
