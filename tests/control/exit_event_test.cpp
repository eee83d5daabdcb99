// The exit event of a command line, read as OpenVPN's C runtime cuts its arguments.
#include <gtest/gtest.h>

#include <string>

#include "control/exit_event.h"
#include "runtime/text.h"

namespace velotarn {
namespace {

TEST(ExitEvent, IsTheArgumentAfterTheLastServiceSwitch) {
  const struct {
    const wchar_t* line;
    const wchar_t* event;
  } cases[] = {
      {L"openvpn.exe --service ev 0", L"ev"},
      {L"\"C:\\Program Files\\x\\openvpn.exe\" --config a.ovpn --service ev 1", L"ev"},
      {L"openvpn.exe --service \"Global\\my event\" 0", L"Global\\my event"},
      {L"openvpn.exe --service a 0 --service b 0", L"b"},
      {L"openvpn.exe\t--service\tev", L"ev"},
      {L"openvpn.exe --service a\\\"b", L"a\"b"},          // odd backslashes: a literal quote
      {L"openvpn.exe --service \"a\\\\\" 0", L"a\\"},      // even: halved, the quote groups
      {L"openvpn.exe --service \"a\"\"b\"", L"a\"b"},      // "" inside quotes
      {L"openvpn.exe --service", L""},                     // no argument after it
      {L"openvpn.exe --Service ev", L""},                  // OpenVPN's switches keep their case
      {L"\"a --service x\" --verb 3", L""},                // inside the program's name
      {L"openvpn.exe \"--service ev\"", L""},              // one argument, not two
  };
  for (const auto& c : cases)
    EXPECT_EQ(ExitEventOf(c.line), std::wstring(c.event)) << WideToUtf8(c.line);
}

}  // namespace
}  // namespace velotarn
