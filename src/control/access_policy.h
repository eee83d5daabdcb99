#pragma once
// The administrator's access policy: who may send requests, which programs "connect" may
// start, and whether every served request is recorded. Read once, when the control module
// activates its pipe, from the values of one registry key (the service's Parameters key):
//
//   AllowedClients   REG_MULTI_SZ  account or group names ("BUILTIN\Users") or SID strings
//                                  ("S-1-5-32-545"); absent: anyone who can open the pipe
//   AllowedPrograms  REG_MULTI_SZ  full paths of the programs "connect" may start; absent: any
//   LogRequests      REG_DWORD     1: an information entry for every served request
//   ExitEventWaitMs  REG_DWORD     how long "disconnect" and a stop give a run whose command
//                                  line names an exit event to end by itself (default
//                                  kExitEventWaitMs; 0: ended at once, as runs without one)
//
// A present value that cannot be used fails closed: AllowedClients then lets nobody but SYSTEM
// send requests, AllowedPrograms refuses every "connect", LogRequests records every request.
// What was wrong is listed in Problems, one text per error entry for the log.
//
// Threading: a plain value of the main thread.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace velotarn {

// Where a policy is read from. No root: no settings at all (today's behaviour).
// How long a run that names an exit event is given to end by itself when it is asked to.
inline constexpr DWORD kExitEventWaitMs = 5000;

struct TPolicyKey {
  HKEY Root = nullptr;
  std::wstring Path;
};

// HKLM\SYSTEM\CurrentControlSet\Services\svVelotarn\Parameters: the service's own key, which
// goes with the service when it is uninstalled.
TPolicyKey ServicePolicyKey();

// One usable AllowedClients entry.
struct TAllowedClient {
  std::wstring Entry;       // as the administrator wrote it
  std::vector<BYTE> Sid;    // what it resolved to
  std::wstring SidText;     // the same as "S-1-..."
};

struct TAccessPolicy {
  std::optional<std::vector<TAllowedClient>> AllowedClients;
  std::optional<std::vector<std::wstring>> AllowedPrograms;
  bool LogRequests = false;
  DWORD ExitEventWaitMs = kExitEventWaitMs;
  std::vector<std::wstring> Problems;

  // The SID strings for the pipe's security descriptor; no value when anyone may connect.
  std::optional<std::vector<std::wstring>> ClientSidTexts() const;
};

TAccessPolicy ReadAccessPolicy(const TPolicyKey& Key);

}  // namespace velotarn
