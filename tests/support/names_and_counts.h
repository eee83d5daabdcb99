#pragma once
// Names no other test process uses, and what a process holds: its handles and threads.
//
// Threading: plain functions, callable from any thread.

#include <windows.h>
#include <tlhelp32.h>

#include <set>
#include <string>

#include "runtime/handles.h"

namespace velotarn::test {

// Calls Visit(entry) for every entry of a Toolhelp snapshot of Kind (TH32CS_SNAPPROCESS with
// Process32FirstW/Process32NextW, TH32CS_SNAPTHREAD with Thread32First/Thread32Next); nothing
// when no snapshot can be taken.
template <class TEntry, class TVisit>
void WalkSnapshot(DWORD Kind, BOOL(WINAPI* First)(HANDLE, TEntry*),
                  BOOL(WINAPI* Next)(HANDLE, TEntry*), TVisit Visit) {
  unique_handle snapshot(CreateToolhelp32Snapshot(Kind, 0));
  if (!snapshot) return;
  TEntry entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = First(snapshot.get(), &entry); ok; ok = Next(snapshot.get(), &entry))
    Visit(entry);
}

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
