#pragma once
// What the soak tests read about the service process from outside: its handle count, memory
// and threads, and the processes of the prefix (Toolhelp snapshots).
//
// Under Wine, GetProcessMemoryInfo on another process gives a true PagefileUsage (and working
// set) but no PrivateUsage, and GetProcessHandleCount on another process reports 0: the handle
// count is taken from the system's handle table instead.
//
// Threading: plain functions and values.

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "names_and_counts.h"

namespace velotarn::test {

struct TProcessFigures {
  DWORD handles = 0;
  DWORD threads = 0;
  SIZE_T pagefile_bytes = 0;
  SIZE_T working_set_bytes = 0;
};
// `process` needs PROCESS_QUERY_INFORMATION | PROCESS_VM_READ.
TProcessFigures MeasureProcess(HANDLE process, DWORD pid);
std::string Describe(const TProcessFigures& f);

// Waits until every thread of process `pid` that is not in `keep` has ended, at most
// `timeout_ms`. Returns the ids of those still running then (empty on success).
std::set<DWORD> WaitForThreadsToEnd(DWORD pid, const std::set<DWORD>& keep, DWORD timeout_ms);

struct TProcessEntry {
  DWORD pid = 0;
  DWORD parent = 0;
  std::wstring image;
};
std::vector<TProcessEntry> ProcessList();
// Entries whose image name is one of `images` (compared without regard to ASCII case), or
// whose parent is `parent` (when not 0).
std::vector<TProcessEntry> FindProcesses(const std::vector<std::wstring>& images,
                                         DWORD parent = 0);
std::string Describe(const std::vector<TProcessEntry>& entries);

}  // namespace velotarn::test
