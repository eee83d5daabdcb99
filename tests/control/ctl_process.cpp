#include "ctl_process.h"

#include "control/child_start.h"
#include "test_support.h"

namespace velotarn::test {

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

TCtlProcess::TCtlProcess(const std::vector<std::wstring>& args) {
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
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                      EXTENDED_STARTUPINFO_PRESENT | DETACHED_PROCESS, nullptr, nullptr,
                      &si.StartupInfo, &pi))
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
