#pragma once
// Shared by the test programs: running the main thread's loop with a bound, and helper modes in
// which a test program re-runs itself as a second process.

#include <windows.h>

#include <functional>
#include <string>

#include "runtime/handles.h"

namespace velotarn::test {

// Runs the main thread's loop (messages and synchronous calls) until done() holds or the
// timeout passes; returns done(). Idle time is spent blocked in a wait for messages and
// synchronous calls, re-checking done() at least every 20 ms.
bool PumpUntil(const std::function<bool()>& done, DWORD timeout_ms = 10000);

// Lets the loop run for `ms` even though nothing is awaited: for asserting that something
// does NOT happen within a bounded time.
void PumpFor(DWORD ms);

// Helper modes: `VELOTARN_HELPER(name) { ...; return exit_code; }` registers a function that
// runs instead of the tests when the program is started as `<exe> --helper=name args...`.
using HelperFn = int (*)(int argc, wchar_t** argv);
bool RegisterHelper(const char* name, HelperFn fn);
int RunHelperIfRequested(int argc, char** argv);  // -1 when no helper was requested

// Starts this test program in helper mode `name` with `args` (appended as is) and returns the
// process handle; an empty owner when it cannot be started.
unique_handle StartHelper(const std::string& name, const std::wstring& args = L"",
                   bool inherit_handles = false);
// Waits for a process with a bound; returns its exit code, or -1 on time-out.
int WaitExit(HANDLE process, DWORD timeout_ms = 30000);

// The path of this test program and of its folder.
std::wstring SelfPath();
std::wstring SelfDir();

}  // namespace velotarn::test

#define VELOTARN_HELPER(name)                                                    \
  static int velotarn_helper_##name(int argc, wchar_t** argv);                   \
  static const bool velotarn_helper_reg_##name =                                 \
      ::velotarn::test::RegisterHelper(#name, &velotarn_helper_##name);          \
  static int velotarn_helper_##name([[maybe_unused]] int argc, [[maybe_unused]] wchar_t** argv)
