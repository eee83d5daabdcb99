#include "test_support.h"

#include <shellapi.h>

#include <algorithm>
#include <map>

#include "runtime/handles.h"
#include "runtime/synchronize.h"
#include "runtime/text.h"

namespace velotarn::test {

bool PumpUntil(const std::function<bool()>& done, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  TSyncWait armed;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));  // leave it for the real loop
        return done();
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      if (done()) return true;
    }
    CheckSynchronize();
    if (done()) return true;
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    HANDLE signal = armed.Signal();
    // Woken by messages and synchronous calls; re-checks at least every 20 ms for conditions
    // that other threads change without telling the main thread.
    DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20));
    MsgWaitForMultipleObjects(1, &signal, FALSE, wait, QS_ALLINPUT);
  }
}

void PumpFor(DWORD ms) { PumpUntil([] { return false; }, ms); }

static std::map<std::string, HelperFn>& Helpers() {
  static std::map<std::string, HelperFn> helpers;
  return helpers;
}

bool RegisterHelper(const char* name, HelperFn fn) {
  Helpers()[name] = fn;
  return true;
}

int RunHelperIfRequested(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]).rfind("--helper=", 0) != 0) return -1;
  auto it = Helpers().find(std::string(argv[1]).substr(9));
  if (it == Helpers().end()) return 99;
  int wargc = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
  int rc = it->second(wargc, wargv);
  LocalFree(wargv);
  return rc;
}

std::wstring SelfPath() { return ModuleFileName(); }

std::wstring SelfDir() {
  std::wstring p = SelfPath();
  return p.substr(0, p.find_last_of(L'\\'));
}

unique_handle StartHelper(const std::string& name, const std::wstring& args,
                          bool inherit_handles) {
  std::wstring cmd = L"\"" + SelfPath() + L"\" --helper=" + Utf8ToWide(name);
  if (!args.empty()) cmd += L" " + args;
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, inherit_handles, 0, nullptr,
                      nullptr, &si, &pi))
    return {};
  unique_handle thread(pi.hThread);  // only the process handle goes to the caller
  return unique_handle(pi.hProcess);
}

int WaitExit(HANDLE process, DWORD timeout_ms) {
  if (WaitForSingleObject(process, timeout_ms) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  return static_cast<int>(code);
}

}  // namespace velotarn::test
