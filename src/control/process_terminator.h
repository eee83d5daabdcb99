#pragma once
// KillProcessByName: terminates (exit code 0) every running process whose image name matches
// ExeName by the rule of image_name.h, and returns the outcome of the last attempt (False when
// nothing matched). Returns without waiting for the processes to end. A process is
// terminated only if, once opened, its image still matches: a listed process that ended
// before it was opened may have left its id to an unrelated new process. A process that cannot
// be opened or terminated is skipped and counts as a failed attempt; no error is raised.
// The Toolhelp functions are looked up in kernel32.dll at first use; without them nothing is
// terminated and the result is False.
//
// Threading: any thread; keeps no state between calls beyond the looked-up functions.

#include <windows.h>

#include <string>
#include <vector>

#include "runtime/handles.h"

namespace velotarn {

bool KillProcessByName(const std::wstring& ExeName);

// Every running process whose image name matches ExeName, opened (PROCESS_TERMINATE,
// SYNCHRONIZE, limited query) and checked by name once more, as KillProcessByName finds them:
// held open, the handles keep naming those processes whatever new ones get their ids.
std::vector<unique_handle> OpenProcessesByName(const std::wstring& ExeName);

// Whether the image of the process behind `Process` (opened with at least
// PROCESS_QUERY_LIMITED_INFORMATION) matches ExeName by the rule of image_name.h; false when
// its image cannot be read.
bool ProcessImageMatches(HANDLE Process, const std::wstring& ExeName);

}  // namespace velotarn
