// The command-line cutter and switch matcher against a model: arguments separated by codes 1 to
// 32, double-quoted stretches kept whole without their quotes, a leading pair of quotes
// skipped, NUL ending the line; a switch is "-" or "/" and the name, after the program.
#include <cstdint>
#include <string>
#include <vector>

#include "service/command_line.h"

namespace {

std::vector<std::wstring> Model(const std::wstring& t) {
  std::vector<std::wstring> args;
  size_t i = 0, n = t.size();
  auto at = [&](size_t k) -> wchar_t { return k < n ? t[k] : L'\0'; };
  for (;;) {
    for (;;) {
      while (at(i) != 0 && at(i) <= L' ') ++i;
      if (at(i) == L'"' && at(i + 1) == L'"')
        i += 2;
      else
        break;
    }
    if (at(i) == 0) break;
    std::wstring arg;
    bool quoted = false;
    while (at(i) != 0 && (at(i) > L' ' || quoted)) {
      if (at(i) == L'"')
        quoted = !quoted;
      else
        arg.push_back(at(i));
      ++i;
    }
    if (arg.empty()) break;  // a lone quote left nothing: the arguments end here
    args.push_back(arg);
  }
  return args;
}

bool AsciiEqualsNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    wchar_t x = a[i], y = b[i];
    if (x >= L'a' && x <= L'z') x -= 32;
    if (y >= L'a' && y <= L'z') y -= 32;
    if (x != y) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Bytes map onto a small alphabet that makes quotes, blanks, dashes and names likely.
  static const wchar_t kAlphabet[] = L" \t\"\"-/INSTALLUNinstallSILENTx\x00e9\x01=\\.";
  std::wstring line;
  for (size_t i = 0; i < size; ++i) line.push_back(kAlphabet[data[i] % (sizeof(kAlphabet) / sizeof(wchar_t))]);
  std::vector<std::wstring> got = velotarn::SplitCommandLine(line);
  std::vector<std::wstring> want = Model(line);
  if (got != want) __builtin_trap();
  for (const wchar_t* name : {L"INSTALL", L"UNINSTALL", L"SILENT"}) {
    bool model = false;
    for (size_t k = 1; k < want.size(); ++k)
      if (!want[k].empty() && (want[k][0] == L'-' || want[k][0] == L'/') &&
          AsciiEqualsNoCase(std::wstring_view(want[k]).substr(1), name))
        model = true;
    if (velotarn::FindSwitch(got, name, AsciiEqualsNoCase) != model) __builtin_trap();
  }
  return 0;
}
