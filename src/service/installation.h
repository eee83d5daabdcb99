#pragma once
// Installing and removing the service registration: what the program does when it is started
// with "-INSTALL" or "/UNINSTALL" (optionally "/SILENT"). Such a run opens the SCM as an
// ordinary client; it never connects to it as a service and never starts or stops the service.
// The outcome is shown in modal message boxes; a box waits until it is closed, its modal loop
// serving the main thread's messages and synchronous calls meanwhile.
//
// Threading: main thread only.

#include <windows.h>

#include <string>

namespace velotarn {

class TService;

// True when an argument of this process's command line is the switch `name`: "-" or "/" and
// then `name`, compared case-insensitively by the user's locale.
bool HasSwitch(const std::wstring& Name);

// Registers (install) or removes every service of the service application object and shows
// the outcome. Raises EOSError when the SCM cannot be opened.
void UpdateRegistration(bool Install, bool Silent);

// Raise EOSError on failure.
void CreateRegistration(TService& Service, SC_HANDLE Manager);
void DeleteRegistration(TService& Service, SC_HANDLE Manager);

// The binary path to register: the program file's full path (however long), in double quotes
// when it contains a blank.
std::wstring RegistrationPath(const std::wstring& ProgramPath);

enum TOutcomeKind { okInformation, okError };
void ShowOutcome(const std::wstring& Text, TOutcomeKind Kind);

}  // namespace velotarn
