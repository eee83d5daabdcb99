// velotarnctl: sends one request to the control pipe of velotarnsvc and relays the replies.
#include <windows.h>

#include "runtime/application.h"
#include "velotarnctl/ctl_options.h"
#include "velotarnctl/ctl_output.h"
#include "velotarnctl/ctl_session.h"

using namespace velotarn;

int wmain(int argc, wchar_t** argv) {
  TCtlOptions options;
  try {
    options = ParseCtlOptions(argc, argv);
  } catch (const ECtlUsage& e) {
    PrintError(L"velotarnctl: " + e.Message() + L"\r\nTry: velotarnctl --help");
    return kCtlUsage;
  }
  if (options.Command == TCtlCommand::Help) {
    PrintText(CtlUsageText());
    return kCtlDone;
  }
  if (options.Command == TCtlCommand::Version) {
    PrintText(CtlVersionText());
    return kCtlDone;
  }
  // The pipe client's notification window and synchronous calls need the application object.
  TApplication application;
  return RunCtlSession(options);
}
