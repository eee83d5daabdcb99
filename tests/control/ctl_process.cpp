#include "ctl_process.h"

#include <cwchar>

#include "control/child_start.h"
#include "test_support.h"

namespace velotarn::test {

// Ctrl+C on the console of process argv[2], to every process on it as the key sends it. Wine 8
// generates CTRL_C_EVENT only (CTRL_BREAK_EVENT fails) and only on the caller's console.
VELOTARN_HELPER(ctrl_c) {
  if (argc < 3 || !AttachConsole(wcstoul(argv[2], nullptr, 10))) return 2;
  SetConsoleCtrlHandler(nullptr, TRUE);  // this helper is on that console as well
  return GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) ? 0 : 3;
}

std::wstring QuoteArg(const std::wstring& arg) {
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');  // before the closing quote
  return quoted + L"\"";
}

TCtlProcess::TCtlProcess(const std::vector<std::wstring>& args, bool own_console) {
  std::wstring command = QuoteArg(SelfDir() + L"\\velotarnctl.exe");
  for (const std::wstring& arg : args) command += L" " + QuoteArg(arg);

  TChildOutputPipe out = CreateChildOutputPipe();
  TChildOutputPipe err = CreateChildOutputPipe();
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof(si);
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdOutput = out.Write.get();
  si.StartupInfo.hStdError = err.Write.get();
  // Only its own output ends: nothing else of this process leaks into the child.
  TInheritedHandleList list({out.Write.get(), err.Write.get()});
  si.lpAttributeList = list.Get();
  PROCESS_INFORMATION pi{};
  const DWORD console = own_console ? CREATE_NEW_CONSOLE : DETACHED_PROCESS;
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                      EXTENDED_STARTUPINFO_PRESENT | console, nullptr, nullptr, &si.StartupInfo,
                      &pi))
    return;
  unique_handle thread(pi.hThread);
  FProcess = TChildProcess(unique_handle(pi.hProcess));
  // Our copies of the write ends close here: the readers see the end when the child ends.
  FOutReader = std::thread(
      [this, pipe = std::move(out.Read)]() mutable { ReadAll(std::move(pipe), &FOutput, &FOutputEnded); });
  FErrReader = std::thread(
      [this, pipe = std::move(err.Read)]() mutable { ReadAll(std::move(pipe), &FErrors, &FErrorsEnded); });
}

TCtlProcess::~TCtlProcess() {
  FProcess.EndIfRunning();  // the readers then see the end of the output
  if (FOutReader.joinable()) FOutReader.join();
  if (FErrReader.joinable()) FErrReader.join();
}

void TCtlProcess::ReadAll(unique_handle pipe, std::string* into, bool* ended) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    std::lock_guard<std::mutex> guard(FLock);
    into->append(buffer, got);
  }
  std::lock_guard<std::mutex> guard(FLock);
  *ended = true;
}

std::string TCtlProcess::Output() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FOutput;
}

std::string TCtlProcess::Errors() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FErrors;
}

bool TCtlProcess::WaitOutput(const std::string& text, DWORD timeout_ms) {
  return PumpUntil([&] { return Output().find(text) != std::string::npos; }, timeout_ms);
}

bool TCtlProcess::SendCtrlC() {
  std::wstring args = L" --helper=ctrl_c " + std::to_wstring(GetProcessId(FProcess.Get()));
  return TChildProcess::Start(QuoteArg(SelfPath()) + args).WaitExit() == 0;  // detached
}

int TCtlProcess::WaitExit(DWORD timeout_ms) {
  if (!Started()) return -1;
  bool ended = PumpUntil(
      [&] {
        std::lock_guard<std::mutex> guard(FLock);
        return FOutputEnded && FErrorsEnded && !FProcess.Running();
      },
      timeout_ms);
  return ended ? FProcess.WaitExit(0) : -1;
}

}  // namespace velotarn::test
