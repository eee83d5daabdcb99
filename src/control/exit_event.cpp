#include "control/exit_event.h"

namespace velotarn {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::vector<std::wstring> RuntimeArguments(std::wstring_view CommandLine) {
  const std::wstring_view line = CommandLine.substr(0, CommandLine.find(L'\0'));
  size_t at = 0;
  // The program: no escapes, a quote only toggles.
  for (bool quoted = false; at < line.size() && (quoted || !IsBlank(line[at])); ++at)
    if (line[at] == L'"') quoted = !quoted;

  std::vector<std::wstring> args;
  for (;;) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (at >= line.size()) return args;
    std::wstring arg;
    bool quoted = false;
    while (at < line.size() && (quoted || !IsBlank(line[at]))) {
      size_t slashes = 0;
      while (at < line.size() && line[at] == L'\\') ++slashes, ++at;
      if (at < line.size() && line[at] == L'"') {
        arg.append(slashes / 2, L'\\');
        if (slashes % 2 == 1) {
          arg += L'"';
        } else if (quoted && at + 1 < line.size() && line[at + 1] == L'"') {
          arg += L'"';  // "" inside quotes
          ++at;
        } else {
          quoted = !quoted;
        }
        ++at;
      } else {
        arg.append(slashes, L'\\');
        if (slashes == 0) arg += line[at++];
      }
    }
    args.push_back(std::move(arg));
  }
}

std::wstring ExitEventOf(std::wstring_view CommandLine) {
  const std::vector<std::wstring> args = RuntimeArguments(CommandLine);
  std::wstring event;
  for (size_t n = 0; n + 1 < args.size(); ++n)
    if (args[n] == L"--service") event = args[n + 1];
  return event;
}

}  // namespace velotarn
