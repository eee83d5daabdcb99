#pragma once
// Requests for the service's pipe: well-formed "connect" requests in every encoding a desktop
// program may use, and malformed ones with the event log entry each must produce.
//
// Threading: plain functions; the random source belongs to the caller.

#include <random>
#include <string>
#include <string_view>

namespace velotarn::test {

using TRandom = std::mt19937_64;

// A random integer in [low, high].
int Pick(TRandom& random, int low, int high);

enum class TRequestForm {
  kAnsiCrLf,    // lines ended by CR LF, ANSI code page
  kAnsiLf,      // lines ended by LF
  kAnsiCr,      // lines ended by CR
  kUtf8Bom,     // UTF-8 with its byte-order mark, CR LF
  kUtf16LeBom,  // UTF-16 little-endian with its byte-order mark, CR LF
  kUtf16BeBom,  // UTF-16 big-endian with its byte-order mark, CR LF
};
TRequestForm PickForm(TRandom& random);

// "connect", the command line and the directory as one request in `form`. `tail` (ANSI forms
// and UTF-8 only) follows the directory line as it is: more lines, or a NUL and anything.
std::string ConnectRequest(const std::wstring& command_line, const std::wstring& directory,
                           TRequestForm form, std::string_view tail = {});

// A tail that the service must ignore: nothing, further lines, a NUL and random bytes, or
// (when `huge` is set) lines that fill the request up to about 1 MiB.
std::string PickTail(TRandom& random, bool huge);

// A malformed request and what it must leave behind: the text of the one event log entry it
// produces, or "" for none.
struct TMalformed {
  const char* kind = "";
  std::string bytes;
  std::wstring log_entry;
};
// `command_line` and `directory` name a child that can be started, for requests that are
// malformed around a valid command.
TMalformed PickMalformed(TRandom& random, const std::wstring& command_line,
                         const std::wstring& directory);

}  // namespace velotarn::test
