#pragma once
// The program of a command line, read as process creation reads it when it is given no
// application name: a quoted first argument runs to its closing quote (or to the end when the
// quote is never closed), an unquoted one to the first blank or tab. Leading blanks and tabs
// are skipped, and the command line ends at its first zero character. ".exe" is added when
// the file name has no extension (no "." after its last backslash or slash).
//
// No Windows include: builds on any platform.

#include <string>
#include <string_view>

namespace velotarn {

std::wstring CommandProgram(std::wstring_view CommandLine);

// True for a path that names its drive or share: "C:\..." or "C:/...", "\\server\..." or
// "//server/...". A relative path ("openvpn.exe", "bin\x.exe", "C:x.exe", "\x.exe") depends on
// a current directory and is not full; "\\.\..." and "\\?\..." name devices and pipes, not files,
// and are refused as well.
bool IsFullPath(std::wstring_view Path);

}  // namespace velotarn
