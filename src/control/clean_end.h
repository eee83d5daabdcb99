#pragma once
// Ending OpenVPN the clean way first. A run whose command line names an exit event
// (exit_event.h) is asked by setting that event, and its process gets a bound to end by itself
// (and tell its peer); what is left of it then is terminated.
//
// Threading: plain functions, any thread. TerminateAfter hands its processes to a thread of
// their own, which owns them and touches nothing else: nobody waits for it, and it may still
// run while the program ends (the child job ends the processes then in any case).

#include <windows.h>

#include <string>
#include <vector>

#include "runtime/handles.h"

namespace velotarn {

// Sets the named event; false when no event of that name exists (nobody watches it yet).
bool SetNamedEvent(const std::wstring& Name);

// Terminates (exit code 0) each of Processes that has not ended within TimeoutMs; returns at
// once.
void TerminateAfter(std::vector<unique_handle> Processes, DWORD TimeoutMs);

// Whether Processes holds a handle to the process behind Process.
bool HoldsProcess(const std::vector<unique_handle>& Processes, HANDLE Process);

}  // namespace velotarn
