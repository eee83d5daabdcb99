#include "velotarnctl/ctl_options.h"

#include <cwchar>
#include <vector>

#include "runtime/text.h"
#include "velotarn_version.h"

namespace velotarn {

namespace {

// Whole seconds, 1 to one day.
uint32_t ParseTimeout(const std::wstring& Text) {
  if (Text.empty() || Text.size() > 6) throw ECtlUsage(L"--timeout wants a number of seconds");
  uint32_t seconds = 0;
  for (wchar_t c : Text) {
    if (c < L'0' || c > L'9') throw ECtlUsage(L"--timeout wants a number of seconds");
    seconds = seconds * 10 + static_cast<uint32_t>(c - L'0');
  }
  if (seconds == 0 || seconds > 86400) throw ECtlUsage(L"--timeout wants 1 to 86400 seconds");
  return seconds * 1000;
}

// A request line must not break: a CR or LF inside it would start another line.
void CheckOneLine(const std::wstring& Text, const wchar_t* What) {
  if (Text.find_first_of(L"\r\n") != std::wstring::npos)
    throw ECtlUsage(std::wstring(What) + L" must not contain a line break");
}

}  // namespace

TCtlOptions ParseCtlOptions(int argc, const wchar_t* const* argv) {
  TCtlOptions options;
  std::vector<std::wstring> words;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
      options.Command = TCtlCommand::Help;
      return options;
    }
    if (arg == L"--version") {
      options.Command = TCtlCommand::Version;
      return options;
    }
    if (arg == L"--pipe" || arg == L"--timeout") {
      if (i + 1 >= argc) throw ECtlUsage(arg + L" wants a value");
      std::wstring value = argv[++i];
      if (arg == L"--pipe") {
        if (value.empty()) throw ECtlUsage(L"--pipe wants a name");
        options.PipeName = value;
      } else {
        options.TimeoutMs = ParseTimeout(value);
      }
      continue;
    }
    if (arg.size() > 1 && arg[0] == L'-' && arg[1] == L'-') throw ECtlUsage(L"unknown option " + arg);
    words.push_back(arg);
  }
  if (words.empty()) throw ECtlUsage(L"a command is missing (connect or disconnect)");
  if (words[0] == L"connect") {
    if (words.size() != 3)
      throw ECtlUsage(L"connect wants a command line and a directory, each as one argument");
    CheckOneLine(words[1], L"the command line");
    CheckOneLine(words[2], L"the directory");
    options.Command = TCtlCommand::Connect;
    options.CommandLine = words[1];
    options.Directory = words[2];
  } else if (words[0] == L"disconnect") {
    if (words.size() != 1) throw ECtlUsage(L"disconnect takes no arguments");
    options.Command = TCtlCommand::Disconnect;
  } else {
    throw ECtlUsage(L"unknown command " + words[0] + L" (connect or disconnect)");
  }
  return options;
}

std::wstring CtlUsageText() {
  return L"velotarnctl: a client of the velotarnsvc control pipe\n"
         L"\n"
         L"  velotarnctl [options] connect \"<command line>\" \"<directory>\"\n"
         L"      asks the service to start the command line in the directory, prints each\n"
         L"      output line as it arrives and ends after the second end marker (#END#).\n"
         L"      Ctrl+C or Ctrl+Break sends \"disconnect\" (the run's last lines and end\n"
         L"      markers are still printed); a second one leaves at once\n"
         L"  velotarnctl [options] disconnect\n"
         L"      asks the service to end every openvpn.exe\n"
         L"  velotarnctl --help\n"
         L"  velotarnctl --version\n"
         L"\n"
         L"options:\n"
         L"  --pipe NAME        the pipe \\\\.\\pipe\\NAME (default VelotarnOvpnPipe)\n"
         L"  --timeout SECONDS  give up after this long (default: wait as long as it runs)\n"
         L"\n"
         L"Output lines are printed as the program wrote them; an end marker is printed on a\n"
         L"line of its own.\n"
         L"\n"
         L"exit codes:\n"
         L"  0  done (connect: both end markers arrived)\n"
         L"  1  bad command line\n"
         L"  2  nothing serves the pipe\n"
         L"  3  the connection dropped\n"
         L"  4  timed out (--timeout)\n"
         L"  5  the request could not be sent\n"
         L"  6  connect: one end marker and no second within 5 s: the program may not have\n"
         L"     started or was refused (see the service's entries in the event log)\n"
         L"  7  connect: ended on request (Ctrl+C or Ctrl+Break sent \"disconnect\" and the\n"
         L"     run's end markers arrived)\n"
         L"  8  connect: interrupted twice, left before the run had ended\n";
}

std::wstring CtlVersionText() {
  return L"velotarnctl " + AnsiToWide(VELOTARN_VERSION_TEXT) + L"\n";
}

}  // namespace velotarn
