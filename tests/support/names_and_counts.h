#pragma once
// Names no other test process uses, and what a process holds: its handles and threads.
//
// Threading: plain functions, callable from any thread.

#include <windows.h>

#include <set>
#include <string>

namespace velotarn::test {

// "velotarn-<prefix>-<process id>-<serial>": unique across test processes and calls.
std::wstring UniqueName(const std::wstring& prefix);

// Handles this process holds.
DWORD HandleCount();
// Handles process `pid` holds, from the system's handle table (GetProcessHandleCount on
// another process reports 0 under Wine); 0 when the table cannot be read.
DWORD HandleCount(DWORD pid);

// The ids of the threads process `pid` has now, and their number.
std::set<DWORD> ThreadIds(DWORD pid);
DWORD ThreadCount(DWORD pid = GetCurrentProcessId());

}  // namespace velotarn::test
