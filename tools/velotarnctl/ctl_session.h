#pragma once
// One velotarnctl run: connect to the pipe, send the request, relay the replies.

#include "velotarnctl/ctl_options.h"

namespace velotarn {

// Exit codes of velotarnctl.
enum TCtlExit : int {
  kCtlDone = 0,
  kCtlUsage = 1,
  kCtlNoServer = 2,
  kCtlDropped = 3,
  kCtlTimedOut = 4,
  kCtlSendFailed = 5,
  kCtlNotStarted = 6,  // one end marker and no second: the program may not have started
  kCtlEndedOnRequest = 7,    // Ctrl+C or Ctrl+Break sent "disconnect", and the run ended
  kCtlInterruptedTwice = 8,  // a second Ctrl+C or Ctrl+Break left before the run had ended
};

// Main thread only, with the application object in place. Returns the exit code; failures are
// reported on the standard error.
int RunCtlSession(const TCtlOptions& Options);

}  // namespace velotarn
