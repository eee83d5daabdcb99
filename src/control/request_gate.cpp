#include "control/request_gate.h"

#include <cassert>

#include "control/allowed_program.h"
#include "control/client_identity.h"
#include "control/command_program.h"
#include "runtime/application.h"
#include "runtime/synchronize.h"
#include "runtime/sys_error.h"
#include "runtime/text.h"

namespace velotarn {

namespace {

TPipeClientIdentity Identify(HANDLE Pipe) {
  if (Pipe != nullptr) return IdentifyPipeClient(Pipe);
  TPipeClientIdentity nobody;
  nobody.Account = L"?";
  nobody.Error = ERROR_PIPE_NOT_CONNECTED;
  return nobody;
}

std::wstring Who(const TPipeClientIdentity& Client) {
  return L"process " + std::to_wstring(Client.ProcessId) + L" (" + Client.Account + L")";
}

// Why Client may not send requests; empty when it may.
std::wstring ClientRefusal(const TPipeClientIdentity& Client,
                           const std::vector<TAllowedClient>& Allowed) {
  if (IsAllowedClient(Client.Token.get(), Allowed)) return {};
  if (!Client.Token)
    return L"the client cannot be identified (" + SysErrorMessage(Client.Error) + L")";
  return L"the account is not among AllowedClients";
}

}  // namespace

TRequestGate::TRequestGate(TObject* Sender, TAccessPolicy Policy)
    : FSender(Sender), FPolicy(std::move(Policy)) {}

void TRequestGate::LogError(const std::wstring& Text) const {
  if (Application != nullptr) Application->HandleError(FSender, Exception(Text));
}

void TRequestGate::ReportProblems() const {
  for (const std::wstring& problem : FPolicy.Problems) LogError(problem);
}

bool TRequestGate::AdmitConnection(HANDLE Pipe) const {
  assert(IsMainThread());
  if (!FPolicy.AllowedClients) return true;
  const TPipeClientIdentity client = Identify(Pipe);
  const std::wstring reason = ClientRefusal(client, *FPolicy.AllowedClients);
  if (reason.empty()) return true;
  LogError(L"Refused a connection from " + Who(client) + L": " + reason);
  return false;
}

TRequestVerdict TRequestGate::AdmitRequest(HANDLE Pipe, bool Connect,
                                           const std::wstring& CommandLine,
                                           const std::wstring& Directory) const {
  assert(IsMainThread());
  TRequestVerdict verdict;
  const bool any_client = !FPolicy.AllowedClients;
  const bool any_program = !Connect || !FPolicy.AllowedPrograms;
  if (any_client && any_program && !FPolicy.LogRequests) {
    verdict.Allowed = true;
    return verdict;
  }
  const TPipeClientIdentity client = Identify(Pipe);
  std::wstring request = Connect ? L"connect" : L"disconnect";
  std::wstring reason = any_client ? L"" : ClientRefusal(client, *FPolicy.AllowedClients);
  verdict.ClientRefused = !reason.empty();
  if (Connect) request += L" " + LogText(CommandProgram(CommandLine));
  if (reason.empty() && Connect && !any_program) {
    TProgramVerdict program = CheckProgram(CommandLine, *FPolicy.AllowedPrograms);
    if (program.Allowed)
      verdict.ApplicationName = std::move(program.ApplicationName);
    else
      reason = std::move(program.Reason);
  }
  if (!reason.empty()) {
    LogError(L"Refused a request from " + Who(client) + L": " + request + L": " + reason);
    return verdict;
  }
  verdict.Allowed = true;
  if (FPolicy.LogRequests && Application != nullptr) {
    const std::wstring what =
        Connect ? L"connect " + LogText(CommandLine) + L" in \"" + LogText(Directory) + L"\""
                : L"disconnect";
    Application->LogInformation(FSender, L"Request from " + Who(client) + L": " + what);
  }
  return verdict;
}

}  // namespace velotarn
