// The program rule of a command line, checked by properties instead of a copy of itself:
// - a quoted program never holds a quote, an unquoted one never holds a blank or tab;
// - without the ".exe" it may have been given, it is a piece of the command line as written;
// - it is empty only for a command line of blanks and tabs, or one that opens with an empty
//   pair of quotes (or a lone quote);
// - its file name always has an extension;
// - quoting an unquoted program that holds no quote changes nothing.
// And the full-path rule: a full path names a drive ("X:" and a slash) or a share (two slashes
// and no third), never the "." or "?" device prefixes.
#include <cstdint>
#include <string>

#include "control/command_program.h"

using velotarn::CommandProgram;
using velotarn::IsFullPath;

namespace {
bool IsSlash(wchar_t c) { return c == L'\\' || c == L'/'; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring line;
  for (size_t i = 0; i + 1 < size; i += 2)
    line.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8));
  // The program rule reads up to the first zero, as process creation does: so do the checks.
  const std::wstring whole = line;
  line.resize(line.find(L'\0') == std::wstring::npos ? line.size() : line.find(L'\0'));

  const std::wstring program = CommandProgram(whole);
  if (program != CommandProgram(line)) __builtin_trap();
  const size_t start = line.find_first_not_of(L" \t");
  const bool quoted = start != std::wstring::npos && line[start] == L'"';
  if (quoted && program.find(L'"') != std::wstring::npos) __builtin_trap();
  if (!quoted && program.find_first_of(L" \t") != std::wstring::npos) __builtin_trap();
  if (program.empty()) {
    const bool empty_quotes =
        quoted && (start + 1 == line.size() || line[start + 1] == L'"');
    if (start != std::wstring::npos && !empty_quotes) __builtin_trap();
    return 0;
  }
  std::wstring stem = program;
  if (line.find(stem) == std::wstring::npos) {
    if (stem.size() < 4 || stem.compare(stem.size() - 4, 4, L".exe") != 0) __builtin_trap();
    stem.resize(stem.size() - 4);
    if (line.find(stem) == std::wstring::npos) __builtin_trap();
  }
  const size_t name = program.find_last_of(L"\\/") + 1;
  if (program.find(L'.', name) == std::wstring::npos) __builtin_trap();
  if (!quoted && program.find(L'"') == std::wstring::npos &&
      CommandProgram(L"\"" + program + L"\"") != program)
    __builtin_trap();

  const bool full = IsFullPath(line);
  const bool drive = line.size() >= 3 && line[1] == L':' && IsSlash(line[2]);
  const bool share = line.size() >= 3 && IsSlash(line[0]) && IsSlash(line[1]) && !IsSlash(line[2]);
  if (full && !drive && !share) __builtin_trap();
  if (full && share && (line[2] == L'.' || line[2] == L'?') && (line.size() == 3 || IsSlash(line[3])))
    __builtin_trap();
  return 0;
}
