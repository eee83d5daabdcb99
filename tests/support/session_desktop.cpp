// Holds the Wine session's desktop open for a whole test run.
//
// Wine's desktop process (explorer.exe) is started by the first process that needs a window
// while no desktop exists, inherits that process's Unix standard error, and ends about a second
// after the last process on the desktop has gone. Under ctest -j a short test program could so
// start it, end, and leave its output pipe held open by the desktop for as long as other test
// programs kept the desktop busy: ctest then waited for the end of that output until its
// time-out. Started once per session with its standard error in the session's log, this program
// makes the desktop with those handles and keeps it until the wineserver is ended.
//
// It writes "ready" on its standard output once its window exists, so that the script that
// starts it knows the desktop is up before any test program runs.
#include <windows.h>

#include "runtime/handles.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  velotarn::unique_hwnd window(CreateWindowExW(0, L"STATIC", L"velotarn session desktop", 0, 0, 0,
                                               0, 0, nullptr, nullptr, nullptr, nullptr));
  if (!window) return 1;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ready\n", 6, &written, nullptr);
  // Messages are taken as they come, so that nobody who sends to every window waits for us.
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}
