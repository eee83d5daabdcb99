#pragma once
// Text conversions. Strings inside the program are UTF-16; bytes that cross the process
// boundary use the system's ANSI code page (GetACP) unless a byte-order mark says otherwise.

#include <windows.h>

#include <cstdarg>
#include <string>
#include <string_view>

namespace velotarn {

// Bytes in `code_page` to UTF-16. Invalid sequences follow MultiByteToWideChar's own rules.
std::wstring BytesToWide(std::string_view Bytes, UINT CodePage);
// The same into Out, which keeps its room: no allocation once it is large enough.
void BytesToWide(std::string_view Bytes, UINT CodePage, std::wstring& Out);
// UTF-16 to bytes in `code_page`; characters with no mapping become the code page's default.
std::string WideToBytes(std::wstring_view Text, UINT CodePage);

inline std::wstring AnsiToWide(std::string_view Bytes) { return BytesToWide(Bytes, CP_ACP); }
inline void AnsiToWide(std::string_view Bytes, std::wstring& Out) { BytesToWide(Bytes, CP_ACP, Out); }
inline std::string WideToAnsi(std::wstring_view Text) { return WideToBytes(Text, CP_ACP); }
inline std::wstring Utf8ToWide(std::string_view Bytes) { return BytesToWide(Bytes, CP_UTF8); }
inline std::string WideToUtf8(std::wstring_view Text) { return WideToBytes(Text, CP_UTF8); }

// printf-style formatting into a std::wstring (%d, %s with wide strings, %p ...).
std::wstring Format(const wchar_t* format, ...);
std::wstring FormatV(const wchar_t* Format, va_list Args);

// The running program's full path, however long it is.
std::wstring ModuleFileName(HMODULE Module = nullptr);
// "C:\dir\velotarnsvc.exe" -> "velotarnsvc.exe".
std::wstring ExtractFileName(const std::wstring& Path);

// Text for a log entry: at most MaxChars of Text, and when it is longer, "..." and its length
// ("... (40000 characters)"). A request may carry a command line of a megabyte.
constexpr size_t kLogTextChars = 1024;
std::wstring LogText(std::wstring_view Text, size_t MaxChars = kLogTextChars);

}  // namespace velotarn
