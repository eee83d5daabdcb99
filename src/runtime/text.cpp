#include "runtime/text.h"

#include <climits>
#include <cwchar>
#include <vector>

namespace velotarn {

std::wstring BytesToWide(std::string_view Bytes, UINT CodePage) {
  std::wstring out;
  BytesToWide(Bytes, CodePage, out);
  return out;
}

void BytesToWide(std::string_view Bytes, UINT CodePage, std::wstring& Out) {
  if (Bytes.empty() || Bytes.size() > INT_MAX) {
    Out.clear();
    return;
  }
  int n =
      MultiByteToWideChar(CodePage, 0, Bytes.data(), static_cast<int>(Bytes.size()), nullptr, 0);
  Out.resize(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0)
    MultiByteToWideChar(CodePage, 0, Bytes.data(), static_cast<int>(Bytes.size()), Out.data(), n);
}

std::string WideToBytes(std::wstring_view Text, UINT CodePage) {
  if (Text.empty() || Text.size() > INT_MAX) return {};
  int n = WideCharToMultiByte(CodePage, 0, Text.data(), static_cast<int>(Text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CodePage, 0, Text.data(), static_cast<int>(Text.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

std::wstring FormatV(const wchar_t* Format, va_list Args) {
  std::vector<wchar_t> buf(256);
  for (;;) {
    va_list copy;
    va_copy(copy, Args);
    int n = _vsnwprintf(buf.data(), buf.size(), Format, copy);
    va_end(copy);
    if (n >= 0 && static_cast<size_t>(n) < buf.size()) return std::wstring(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
}

std::wstring Format(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring s = FormatV(format, args);
  va_end(args);
  return s;
}

std::wstring ModuleFileName(HMODULE Module) {
  std::wstring path(MAX_PATH + 1, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(Module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);  // truncated: try again with more room
  }
}

std::wstring ExtractFileName(const std::wstring& Path) {
  size_t pos = Path.find_last_of(L"\\/:");
  return pos == std::wstring::npos ? Path : Path.substr(pos + 1);
}

std::wstring LogText(std::wstring_view Text, size_t MaxChars) {
  if (Text.size() <= MaxChars) return std::wstring(Text);
  return std::wstring(Text.substr(0, MaxChars)) + L"... (" + std::to_wstring(Text.size()) +
         L" characters)";
}

}  // namespace velotarn
