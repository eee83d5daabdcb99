#pragma once
// Who is at the other end of one server pipe connection, and whether that account may send
// requests under the access policy.
//
// Identification impersonates the client on the calling thread just long enough to take a copy
// of its token, then reverts. Before the client has written anything, the system may refuse to
// impersonate; the token of the client's process is taken instead (an identification copy).
// Clients open the pipe with identification only, which is all the membership test needs.
//
// Threading: any thread (the control module calls it on the main thread); the calling thread
// impersonates for the span of one call and never returns while impersonating.

#include <windows.h>

#include <string>
#include <vector>

#include "control/access_policy.h"
#include "runtime/handles.h"

namespace velotarn {

struct TPipeClientIdentity {
  DWORD ProcessId = 0;   // 0 when the system does not tell
  std::wstring Account;  // DOMAIN\name where it resolves, else the SID string; "?" when unknown
  unique_handle Token;   // identification token of the client; none when it is unknown
  DWORD Error = 0;       // why there is no token
};

TPipeClientIdentity IdentifyPipeClient(HANDLE Pipe);

// True when Token is SYSTEM's or is (or is a member of) one of Allowed. False without a token.
bool IsAllowedClient(HANDLE Token, const std::vector<TAllowedClient>& Allowed);

}  // namespace velotarn
