#pragma once
// TRequestGate: the control module's doorkeeper. It holds the access policy, decides whether a
// client that connects may become the one that receives replies and whether a request may be
// served, and writes the log entries that go with it: one error entry per refusal (naming the
// client's process id, its account, the request and the reason) and, with LogRequests, one
// information entry per served request. Without settings it admits everything and writes
// nothing.
//
// Entries go through the application object: errors to HandleError, information entries to
// LogInformation (the service sends both to the event log).
//
// Threading: main thread only. The pipe handles it is given must be registered connections of
// the caller's server (their handles are open while it runs).

#include <windows.h>

#include <string>

#include "control/access_policy.h"
#include "runtime/component.h"

namespace velotarn {

struct TRequestVerdict {
  bool Allowed = false;
  bool ClientRefused = false;    // refused for the sender's account, not for what it asked
  std::wstring ApplicationName;  // allowed "connect" under AllowedPrograms: the file to start
};

class TRequestGate {
 public:
  TRequestGate(TObject* Sender, TAccessPolicy Policy);

  const TAccessPolicy& Policy() const noexcept { return FPolicy; }

  // One error entry for each problem the policy was read with.
  void ReportProblems() const;

  // A client that has just connected on Pipe. False when it may not send requests (the entry
  // is written); its connection is then the caller's to end.
  bool AdmitConnection(HANDLE Pipe) const;

  // "connect" with its command line and directory, or "disconnect" (CommandLine empty). Pipe
  // is null when the sender has left already and cannot be identified any more.
  TRequestVerdict AdmitRequest(HANDLE Pipe, bool Connect, const std::wstring& CommandLine,
                               const std::wstring& Directory) const;

 private:
  void LogError(const std::wstring& Text) const;

  TObject* const FSender;
  const TAccessPolicy FPolicy;
};

}  // namespace velotarn
