#pragma once
// TEventLogger: writes entries to the local computer's Windows event log under one source
// name. The source is opened at the first entry and stays open until the writer is freed.
// Failures to open the source or to write are ignored: the log is where failures go, so there
// is no one left to tell.
//
// Threading: any thread; entries are serialised by the writer's lock (the service's writer is
// used by the service-main thread and by the service thread).

#include <windows.h>

#include <mutex>
#include <string>

#include "runtime/handles.h"

namespace velotarn {

class TEventLogger {
 public:
  explicit TEventLogger(std::wstring Name) : FName(std::move(Name)) {}
  TEventLogger(const TEventLogger&) = delete;
  TEventLogger& operator=(const TEventLogger&) = delete;

  const std::wstring& Name() const noexcept { return FName; }

  // One entry with `message` as its only insertion string, no user and no binary data.
  void LogMessage(const std::wstring& Message, WORD EventType = EVENTLOG_ERROR_TYPE,
                  WORD Category = 0, DWORD Id = 0);

 private:
  const std::wstring FName;
  std::mutex FLock;
  unique_event_source FEventLog;
};

}  // namespace velotarn
