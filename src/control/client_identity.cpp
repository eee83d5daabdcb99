#include "control/client_identity.h"

#include <sddl.h>

#include <exception>

namespace velotarn {

namespace {

// The calling thread goes back to its own account when this ends. A thread that could not
// revert would go on working as the client: that must never happen, so the process ends.
class TImpersonation {
 public:
  explicit TImpersonation(HANDLE Pipe) : FActive(ImpersonateNamedPipeClient(Pipe) != FALSE) {}
  ~TImpersonation() {
    if (FActive && !RevertToSelf()) std::terminate();
  }
  TImpersonation(const TImpersonation&) = delete;
  TImpersonation& operator=(const TImpersonation&) = delete;
  bool Active() const noexcept { return FActive; }

 private:
  const bool FActive;
};

// The client's token as the pipe shows it while impersonating.
unique_handle ImpersonatedToken(HANDLE Pipe, DWORD& Error) {
  TImpersonation impersonation(Pipe);
  if (!impersonation.Active()) {
    Error = GetLastError();
    return {};
  }
  HANDLE token = nullptr;
  // Opened as ourselves: the client's account may have no right to its own thread token.
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) Error = GetLastError();
  return unique_handle(token);
}

// An identification copy of the token of the client's process.
unique_handle ProcessToken(DWORD ProcessId, DWORD& Error) {
  unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ProcessId));
  HANDLE primary = nullptr;
  if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_DUPLICATE, &primary)) {
    Error = GetLastError();
    return {};
  }
  unique_handle primary_owner(primary);
  HANDLE copy = nullptr;
  if (!DuplicateTokenEx(primary, TOKEN_QUERY, nullptr, SecurityIdentification,
                        TokenImpersonation, &copy)) {
    Error = GetLastError();
    return {};
  }
  return unique_handle(copy);
}

std::vector<BYTE> TokenUserSid(HANDLE Token) {
  DWORD size = 0;
  GetTokenInformation(Token, TokenUser, nullptr, 0, &size);  // asks for the size
  std::vector<BYTE> buffer(size);
  if (size == 0 || !GetTokenInformation(Token, TokenUser, buffer.data(), size, &size)) return {};
  const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

std::wstring AccountText(PSID Sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD name_size = 256;
  DWORD domain_size = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, Sid, name, &name_size, domain, &domain_size, &use))
    return domain_size > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(Sid, &text)) return L"?";
  unique_hlocal owner(text);
  return text;
}

bool TokenHasSid(HANDLE Token, const std::vector<BYTE>& User, PSID Sid) {
  BOOL member = FALSE;
  if (CheckTokenMembership(Token, Sid, &member) && member) return true;
  // The token's own user, in case the membership test looks at groups alone.
  return !User.empty() && EqualSid(const_cast<BYTE*>(User.data()), Sid);
}

}  // namespace

TPipeClientIdentity IdentifyPipeClient(HANDLE Pipe) {
  TPipeClientIdentity identity;
  ULONG process_id = 0;
  if (GetNamedPipeClientProcessId(Pipe, &process_id)) identity.ProcessId = process_id;
  DWORD error = 0;
  identity.Token = ImpersonatedToken(Pipe, error);
  if (!identity.Token && identity.ProcessId != 0)
    identity.Token = ProcessToken(identity.ProcessId, error);
  identity.Error = identity.Token ? 0 : error;
  const std::vector<BYTE> user =
      identity.Token ? TokenUserSid(identity.Token.get()) : std::vector<BYTE>{};
  identity.Account = user.empty() ? L"?" : AccountText(const_cast<BYTE*>(user.data()));
  return identity;
}

bool IsAllowedClient(HANDLE Token, const std::vector<TAllowedClient>& Allowed) {
  if (Token == nullptr) return false;
  const std::vector<BYTE> user = TokenUserSid(Token);
  BYTE system[SECURITY_MAX_SID_SIZE];
  DWORD system_size = sizeof(system);
  if (CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size) &&
      TokenHasSid(Token, user, system))
    return true;
  for (const TAllowedClient& client : Allowed)
    if (TokenHasSid(Token, user, const_cast<BYTE*>(client.Sid.data()))) return true;
  return false;
}

}  // namespace velotarn
