#pragma once
// The AllowedPrograms check of a "connect": the program of its command line (CommandProgram)
// must be given as a full path and be the same file as one of the allowed paths. Files are
// compared, not strings: each path is opened and its final path (links, short names, "..",
// slashes, case and trailing dots all resolved by the system) is compared without regard to
// case. Only files on disk take part: devices, pipes and directories never match.
//
// Threading: any thread; the control module calls it on the main thread.

#include <string>
#include <vector>

namespace velotarn {

struct TProgramVerdict {
  bool Allowed = false;
  std::wstring Program;          // the program as the command line names it
  std::wstring ApplicationName;  // allowed: the file to start, as its final full path
  std::wstring Reason;           // refused: why, in words for the log
};

TProgramVerdict CheckProgram(const std::wstring& CommandLine,
                             const std::vector<std::wstring>& AllowedPrograms);

}  // namespace velotarn
