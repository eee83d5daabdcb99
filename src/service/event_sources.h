#pragma once
// The program's event log sources: its file name ("velotarnsvc.exe") and each service's name
// ("svVelotarn"), each a key HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<source>
// with EventMessageFile (REG_EXPAND_SZ, the program's full path: its message table renders an
// entry as its text) and TypesSupported 7 (error, warning, information). Without them Event
// Viewer shows every entry as "The description for Event ID 0 ... cannot be found".
//
// Threading: any thread.

#include <string>

namespace velotarn {

// Creates or updates the source's key; raises EOSError on failure.
void AddEventSource(const std::wstring& Source, const std::wstring& MessageFile);
// Removes the source's key; a source that is not registered is no error. Raises EOSError.
void RemoveEventSource(const std::wstring& Source);

}  // namespace velotarn
