#pragma once
// The security of the server's pipe instances. By default any local account may connect, read
// and write; a server narrowed to a list of accounts and groups gives read and write to those
// alone. Only SYSTEM, Administrators and the account that runs the server may change the pipe's
// security or create further instances of its name (so nobody can squat the name or slip in as
// the server); anonymous logons are denied. Handles are never inheritable.
//
// Threading: a plain value, owned by the thread that holds it.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "runtime/handles.h"

namespace velotarn {

// Rights that clients get on the pipe: read, write (without FILE_CREATE_PIPE_INSTANCE, which
// FILE_GENERIC_WRITE includes as FILE_APPEND_DATA) and synchronize.
constexpr DWORD kPipeClientRights =
    (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~static_cast<DWORD>(FILE_CREATE_PIPE_INSTANCE);

// The descriptor in SDDL, for the account that runs this process. ClientSids are SID strings
// ("S-1-5-32-545") that get kPipeClientRights; without a value Everyone gets them, with an empty
// list nobody beyond the full-control accounts can open the pipe.
std::wstring PipeSecuritySddl(const std::optional<std::vector<std::wstring>>& ClientSids = {});

// Fills SA with a freshly allocated descriptor (PipeSecuritySddl) and bInheritHandle FALSE.
// Raises EOSError when the descriptor cannot be built.
void MakeOpenSecurity(SECURITY_ATTRIBUTES& SA,
                      const std::optional<std::vector<std::wstring>>& ClientSids = {});
// Frees the descriptor of SA, if any, and clears the pointer.
void FreeOpenSecurity(SECURITY_ATTRIBUTES& SA);

// Owner of one SECURITY_ATTRIBUTES made by MakeOpenSecurity.
class TOpenSecurity {
 public:
  explicit TOpenSecurity(const std::optional<std::vector<std::wstring>>& ClientSids = {}) {
    MakeOpenSecurity(FSecurity, ClientSids);
  }
  ~TOpenSecurity() { FreeOpenSecurity(FSecurity); }
  TOpenSecurity(const TOpenSecurity&) = delete;
  TOpenSecurity& operator=(const TOpenSecurity&) = delete;
  SECURITY_ATTRIBUTES* get() noexcept { return &FSecurity; }

 private:
  SECURITY_ATTRIBUTES FSecurity{};
};

}  // namespace velotarn
