#pragma once
// The exit event of an OpenVPN command line: OpenVPN started with "--service <event> [0|1]"
// watches the named event and, once it is set, ends as on a signal (telling its peer first
// with --explicit-exit-notify). The arguments are read as the program's C runtime reads them:
// the program name runs to its closing quote or first blank or tab; after it, arguments are
// separated by blanks and tabs, double quotes group, 2n backslashes before a quote make n and
// the quote groups, 2n+1 make n and a literal quote, "" inside quotes is a literal quote, and
// other backslashes stand as they are. The last "--service" with an argument after it counts.
// The command line ends at its first zero character.
//
// No Windows include: builds on any platform. Threading: pure functions, any thread.

#include <string>
#include <string_view>
#include <vector>

namespace velotarn {

// The arguments after the program, as the C runtime cuts them.
std::vector<std::wstring> RuntimeArguments(std::wstring_view CommandLine);

// The event named after the last "--service", or empty when there is none.
std::wstring ExitEventOf(std::wstring_view CommandLine);

}  // namespace velotarn
