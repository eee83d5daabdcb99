#include "control_test_support.h"

#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "test_support.h"

namespace velotarn::test {

std::wstring ChildPath(bool as_openvpn) {
  return SelfDir() + (as_openvpn ? L"\\openvpn.exe" : L"\\ovpn_child.exe");
}

std::wstring ChildCommand(std::initializer_list<std::wstring> steps, bool as_openvpn) {
  std::wstring command = L"\"" + ChildPath(as_openvpn) + L"\"";
  for (const std::wstring& step : steps) command += L" \"" + step + L"\"";
  return command;
}

TGate::TGate(const std::wstring& prefix)
    : FName(UniqueName(prefix)), FEvent(CreateEventW(nullptr, FALSE, FALSE, FName.c_str())) {}

bool TGate::WaitSignalled(DWORD timeout_ms) const {
  if (timeout_ms == 0) return WaitForSingleObject(FEvent.get(), 0) == WAIT_OBJECT_0;
  return PumpUntil([this] { return WaitForSingleObject(FEvent.get(), 0) == WAIT_OBJECT_0; },
                   timeout_ms);
}

TChildProcess& TChildProcess::operator=(TChildProcess&& other) noexcept {
  if (this != &other) {
    EndIfRunning();
    FProcess = std::move(other.FProcess);
  }
  return *this;
}

void TChildProcess::EndIfRunning() noexcept {
  if (FProcess && Running()) {
    TerminateProcess(FProcess.get(), 99);
    WaitForSingleObject(FProcess.get(), 10000);
  }
}

TChildProcess TChildProcess::Start(const std::wstring& command) {
  std::wstring line = command;
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                      nullptr, &si, &pi))
    return TChildProcess();
  unique_handle thread(pi.hThread);
  return TChildProcess(unique_handle(pi.hProcess));
}

TChildProcess TChildProcess::Open(DWORD pid) {
  return TChildProcess(unique_handle(
      OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                  pid)));
}

int TChildProcess::WaitExit(DWORD timeout_ms) const {
  if (!FProcess) return -1;
  if (timeout_ms > 0 && !PumpUntil([this] { return !Running(); }, timeout_ms)) return -1;
  if (WaitForSingleObject(FProcess.get(), 0) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(FProcess.get(), &code);
  return static_cast<int>(code);
}

TRunRecorder::~TRunRecorder() {
  if (FRunner && !Terminated()) FRunner->Detach();
}

TOvpnThread* TRunRecorder::Start(const std::wstring& command, const std::wstring& directory,
                                 bool start) {
  FRunner = TThread::New<TOvpnThread>().release();
  FRunner->OnLine = [this](const std::wstring& line) { FLines.push_back(line); };
  FRunner->OnTerminate = [this](TThread* sender) {
    ++FTerminateCount;
    FFatal = ExceptionMessage(sender->FatalException());
  };
  FRunner->SetFreeOnTerminate(true);
  FRunner->FCmd = command;
  FRunner->FOvpnDir = directory;
  if (start) FRunner->Start();
  return FRunner;
}

bool TRunRecorder::WaitEnd(DWORD timeout_ms) {
  return PumpUntil([this] { return Terminated(); }, timeout_ms);
}

bool TRunRecorder::WaitLines(size_t count, DWORD timeout_ms) {
  return PumpUntil([this, count] { return FLines.size() >= count; }, timeout_ms);
}

std::wstring W(const std::string& ansi) { return AnsiToWide(ansi); }

}  // namespace velotarn::test
