#include "service/command_line.h"

namespace velotarn {

namespace {
bool IsSeparator(wchar_t c) { return c >= 1 && c <= 32; }
}  // namespace

std::vector<std::wstring> SplitCommandLine(std::wstring_view line) {
  line = line.substr(0, line.find(L'\0'));
  std::vector<std::wstring> args;
  size_t i = 0;
  const size_t n = line.size();
  for (;;) {
    // Separators, and empty quote pairs standing where an argument would begin.
    for (;;) {
      while (i < n && IsSeparator(line[i])) ++i;
      if (i + 1 < n && line[i] == L'"' && line[i + 1] == L'"') {
        i += 2;
        continue;
      }
      break;
    }
    if (i >= n) break;
    std::wstring arg;
    while (i < n && !IsSeparator(line[i])) {
      if (line[i] == L'"') {
        ++i;
        while (i < n && line[i] != L'"') arg.push_back(line[i++]);
        if (i < n) ++i;  // the closing quote
      } else {
        arg.push_back(line[i++]);
      }
    }
    // Only a lone quote at the very end leaves nothing: no argument.
    if (arg.empty()) break;
    args.push_back(std::move(arg));
  }
  return args;
}

bool FindSwitch(const std::vector<std::wstring>& args, std::wstring_view name,
                const TTextEquals& equals) {
  for (size_t k = 1; k < args.size(); ++k) {
    std::wstring_view arg = args[k];
    if (!arg.empty() && (arg[0] == L'-' || arg[0] == L'/') && equals(arg.substr(1), name))
      return true;
  }
  return false;
}

}  // namespace velotarn
