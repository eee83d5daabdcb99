#include "service/command_line.h"

namespace velotarn {

namespace {
bool IsSeparator(wchar_t Character) { return Character >= 1 && Character <= 32; }
}  // namespace

std::vector<std::wstring> SplitCommandLine(std::wstring_view Line) {
  Line = Line.substr(0, Line.find(L'\0'));
  std::vector<std::wstring> args;
  size_t i = 0;
  const size_t n = Line.size();
  for (;;) {
    // Separators, and empty quote pairs standing where an argument would begin.
    for (;;) {
      while (i < n && IsSeparator(Line[i])) ++i;
      if (i + 1 < n && Line[i] == L'"' && Line[i + 1] == L'"') {
        i += 2;
        continue;
      }
      break;
    }
    if (i >= n) break;
    std::wstring arg;
    while (i < n && !IsSeparator(Line[i])) {
      if (Line[i] == L'"') {
        ++i;
        while (i < n && Line[i] != L'"') arg.push_back(Line[i++]);
        if (i < n) ++i;  // the closing quote
      } else {
        arg.push_back(Line[i++]);
      }
    }
    // Only a lone quote at the very end leaves nothing: no argument.
    if (arg.empty()) break;
    args.push_back(std::move(arg));
  }
  return args;
}

bool FindSwitch(const std::vector<std::wstring>& Args, std::wstring_view Name,
                const TTextEquals& Equals) {
  for (size_t k = 1; k < Args.size(); ++k) {
    std::wstring_view arg = Args[k];
    if (!arg.empty() && (arg[0] == L'-' || arg[0] == L'/') && Equals(arg.substr(1), Name))
      return true;
  }
  return false;
}

}  // namespace velotarn
