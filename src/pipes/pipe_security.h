#pragma once
// The security of the server's pipe instances. Any local account may connect, read and write,
// but only SYSTEM, Administrators and the account that runs the server may change the pipe's
// security or create further instances of its name (so nobody can squat the name or slip in as
// the server); anonymous logons are denied. Handles are never inheritable.
//
// Threading: a plain value, owned by the thread that holds it.

#include <windows.h>

#include <string>

#include "runtime/handles.h"

namespace velotarn {

// Rights that Everyone gets on the pipe: read, write (without FILE_CREATE_PIPE_INSTANCE, which
// FILE_GENERIC_WRITE includes as FILE_APPEND_DATA) and synchronize.
constexpr DWORD kPipeClientRights =
    (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~static_cast<DWORD>(FILE_CREATE_PIPE_INSTANCE);

// The descriptor in SDDL, for the account that runs this process.
std::wstring PipeSecuritySddl();

// Fills SA with a freshly allocated descriptor (PipeSecuritySddl) and bInheritHandle FALSE.
// Raises EOSError when the descriptor cannot be built.
void MakeOpenSecurity(SECURITY_ATTRIBUTES& SA);
// Frees the descriptor of SA, if any, and clears the pointer.
void FreeOpenSecurity(SECURITY_ATTRIBUTES& SA);

// Owner of one SECURITY_ATTRIBUTES made by MakeOpenSecurity.
class TOpenSecurity {
 public:
  TOpenSecurity() { MakeOpenSecurity(FSecurity); }
  ~TOpenSecurity() { FreeOpenSecurity(FSecurity); }
  TOpenSecurity(const TOpenSecurity&) = delete;
  TOpenSecurity& operator=(const TOpenSecurity&) = delete;
  SECURITY_ATTRIBUTES* get() noexcept { return &FSecurity; }

 private:
  SECURITY_ATTRIBUTES FSecurity{};
};

}  // namespace velotarn
