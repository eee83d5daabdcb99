#pragma once
// What the package does to the service beyond the program's own install and uninstall runs.
//
// Ending a service's process before the installation replaces or removes its program file.
// A service reports STOPPED a moment before its process has ended, and an installer that asks
// services to stop without waiting for them (Wine's does) goes on at once: either way the
// program file can still be in use when it is replaced or removed, and a registration removed
// meanwhile stays "marked for deletion" until the process has gone. So the package waits for
// the process itself.
//
// Removing the registration when an installation is rolled back: by then the program file may
// be gone already, so its own uninstall run cannot be used.
//
// Threading: plain functions; any thread.

#include <windows.h>

#include <string>

namespace velotarn {

struct TServiceEnd {
  DWORD Error = ERROR_SUCCESS;  // ERROR_SUCCESS: no process of the service runs any more
  std::wstring Outcome;         // what happened, for the installation log
};

// Asks the service `Name` to stop, unless it is stopped or stopping already, and waits up to
// `TimeoutMs` for its process to end. A service that is not registered is no error. A service
// still starting is asked once it has started, within the same time.
TServiceEnd EndService(const std::wstring& Name, DWORD TimeoutMs);

// Ends the service as EndService does, then deletes its registration. A service that is not
// registered is no error.
TServiceEnd RemoveService(const std::wstring& Name, DWORD TimeoutMs);

}  // namespace velotarn
