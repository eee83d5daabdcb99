#include "control/command_program.h"

namespace velotarn {

namespace {
bool IsBlank(wchar_t C) { return C == L' ' || C == L'\t'; }
bool IsSlash(wchar_t C) { return C == L'\\' || C == L'/'; }
bool IsDriveLetter(wchar_t C) { return (C >= L'A' && C <= L'Z') || (C >= L'a' && C <= L'z'); }
}  // namespace

std::wstring CommandProgram(std::wstring_view CommandLine) {
  // Process creation reads the command line as a string: it ends at the first zero.
  CommandLine = CommandLine.substr(0, CommandLine.find(L'\0'));
  size_t from = 0;
  while (from < CommandLine.size() && IsBlank(CommandLine[from])) ++from;
  std::wstring_view rest = CommandLine.substr(from);
  std::wstring program;
  if (!rest.empty() && rest[0] == L'"') {
    const size_t close = rest.find(L'"', 1);
    program = rest.substr(1, close == std::wstring_view::npos ? std::wstring_view::npos : close - 1);
  } else {
    size_t end = 0;
    while (end < rest.size() && !IsBlank(rest[end])) ++end;
    program = rest.substr(0, end);
  }
  if (program.empty()) return program;
  const size_t name_start = program.find_last_of(L"\\/") + 1;  // npos + 1 == 0
  if (program.find(L'.', name_start) == std::wstring::npos) program += L".exe";
  return program;
}

bool IsFullPath(std::wstring_view Path) {
  if (Path.size() >= 3 && IsDriveLetter(Path[0]) && Path[1] == L':' && IsSlash(Path[2]))
    return true;
  if (Path.size() < 3 || !IsSlash(Path[0]) || !IsSlash(Path[1]) || IsSlash(Path[2])) return false;
  // "\\.\" and "\\?\" lead into the device namespace (pipes, devices), not to a share.
  const bool device = (Path[2] == L'.' || Path[2] == L'?') && (Path.size() == 3 || IsSlash(Path[3]));
  return !device;
}

}  // namespace velotarn
