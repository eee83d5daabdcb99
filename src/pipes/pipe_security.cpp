#include "pipes/pipe_security.h"

#include <sddl.h>

#include <vector>

#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace velotarn {

namespace {

// The SID of the account this process runs as, as text; empty if it cannot be read.
std::wstring ProcessUserSid() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  unique_handle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);  // asks for the size
  if (size == 0) return {};
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text))
    return {};
  unique_hlocal owner(text);
  return text;
}

}  // namespace

std::wstring PipeSecuritySddl(const std::optional<std::vector<std::wstring>>& ClientSids) {
  // Protected DACL: deny Anonymous first, full control for SYSTEM, Administrators and the
  // server's own account (it must be able to create the further instances), read and write
  // for Everyone or for the listed clients.
  std::wstring sddl = L"D:P(D;;FA;;;AN)(A;;FA;;;SY)(A;;FA;;;BA)";
  std::wstring user = ProcessUserSid();
  if (!user.empty()) sddl += L"(A;;FA;;;" + user + L")";
  const std::wstring client_rights = Format(L"0x%x", static_cast<unsigned>(kPipeClientRights));
  if (!ClientSids) return sddl + L"(A;;" + client_rights + L";;;WD)";
  for (const std::wstring& sid : *ClientSids) sddl += L"(A;;" + client_rights + L";;;" + sid + L")";
  return sddl;
}

void MakeOpenSecurity(SECURITY_ATTRIBUTES& SA,
                      const std::optional<std::vector<std::wstring>>& ClientSids) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          PipeSecuritySddl(ClientSids).c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    RaiseLastOSError();
  SA.nLength = sizeof(SA);
  SA.lpSecurityDescriptor = descriptor;
  SA.bInheritHandle = FALSE;  // no child process may hold a pipe instance or an event
}

void FreeOpenSecurity(SECURITY_ATTRIBUTES& SA) {
  unique_hlocal descriptor(SA.lpSecurityDescriptor);
  SA.lpSecurityDescriptor = nullptr;
}

}  // namespace velotarn
