#include "service_test_support.h"

#include <gtest/gtest.h>

#include <memory>

#include "runtime/sys_error.h"
#include "runtime/text.h"
#include "test_support.h"

namespace velotarn::test {

// --- Event log ------------------------------------------------------------------------------

namespace {
std::wstring EventLogPath() {
  wchar_t unix_path[1024] = {};
  if (GetEnvironmentVariableW(L"VELOTARN_EVENT_LOG", unix_path, 1024) == 0) return {};
  std::wstring path = L"Z:";
  path += unix_path;
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

unique_handle OpenShared(const std::wstring& path) {
  return unique_handle(CreateFileW(path.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
}
}  // namespace

EventLogWatch::EventLogWatch() : path_(EventLogPath()) {
  EXPECT_FALSE(path_.empty()) << "run this test through tests/service/run-logged";
  unique_handle file = OpenShared(path_);
  LARGE_INTEGER size{};
  if (file && GetFileSizeEx(file.get(), &size)) start_ = size.QuadPart;
}

std::vector<std::wstring> EventLogWatch::Entries() const {
  std::vector<std::wstring> entries;
  unique_handle file = OpenShared(path_);
  if (!file) return entries;
  LARGE_INTEGER offset{};
  offset.QuadPart = start_;
  SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN);
  std::string content;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    content.append(buffer, got);
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    std::wstring text;
    if (ParseEventLogLine(content.substr(pos, end - pos), &text)) entries.push_back(text);
    pos = end + 1;
  }
  return entries;
}

bool ParseEventLogLine(const std::string& line, std::wstring* text) {
  static const std::string marker = ":err:eventlog:ReportEventW L\"";
  size_t pos = line.find(marker);
  if (pos == std::string::npos) return false;
  text->clear();
  for (size_t i = pos + marker.size(); i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') return true;
    if (c != '\\' || i + 1 >= line.size()) {
      text->push_back(static_cast<unsigned char>(c));
      continue;
    }
    char e = line[++i];
    switch (e) {
      case 'n': text->push_back(L'\n'); break;
      case 'r': text->push_back(L'\r'); break;
      case 't': text->push_back(L'\t'); break;
      case '"': text->push_back(L'"'); break;
      case '\\': text->push_back(L'\\'); break;
      default:  // \XXXX: four hex digits
        text->push_back(static_cast<wchar_t>(std::stoi(line.substr(i, 4), nullptr, 16)));
        i += 3;
        break;
    }
  }
  return true;
}

// --- Programs and their boxes ---------------------------------------------------------------

namespace {
// Out-of-context window events reach this thread while it pumps; dialogs created by the
// watched process are collected here and dealt with by RunProgram.
// Per thread: the hook's calls come on the thread that set it, so programs can be run side by
// side from threads of their own.
thread_local std::vector<HWND>* g_new_dialogs = nullptr;

void CALLBACK OnWindowCreated(HWINEVENTHOOK, DWORD, HWND hwnd, LONG object, LONG, DWORD, DWORD) {
  if (g_new_dialogs == nullptr || hwnd == nullptr || object != OBJID_WINDOW) return;
  wchar_t cls[32] = {};
  GetClassNameW(hwnd, cls, 32);
  if (std::wstring(cls) == L"#32770") g_new_dialogs->push_back(hwnd);
}

// Owner of the window-event hook.
struct EventHook {
  HWINEVENTHOOK hook;
  ~EventHook() {
    if (hook) UnhookWinEvent(hook);
  }
};

BoxSeen ReadAndClose(HWND box, const std::function<void(const BoxSeen&)>& while_open) {
  // A message sent to the box is handled only once its modal loop runs, that is after the
  // dialog has been set up with its caption and text.
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(box, WM_NULL, 0, 0, SMTO_BLOCK, 10000, &ignored);
  BoxSeen seen;
  wchar_t buffer[2048] = {};
  GetWindowTextW(box, buffer, 2048);
  seen.caption = buffer;
  buffer[0] = 0;
  GetDlgItemTextW(box, 0xFFFF, buffer, 2048);
  seen.text = buffer;
  if (while_open) while_open(seen);
  SendMessageTimeoutW(box, WM_COMMAND, IDOK, 0, SMTO_BLOCK, 10000, &ignored);
  return seen;
}
}  // namespace

ProgramRun RunProgram(const std::wstring& path, const std::wstring& args, DWORD timeout_ms,
                      const std::function<void(const BoxSeen&)>& while_open, TBoxesOf boxes_of) {
  ProgramRun run;
  std::wstring command = L"\"" + path + L"\"";
  if (!args.empty()) command += L" " + args;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::vector<HWND> dialogs;
  g_new_dialogs = &dialogs;
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                      nullptr, nullptr, &si, &pi)) {
    ADD_FAILURE() << "cannot start " << WideToUtf8(command) << ": " << GetLastError();
    g_new_dialogs = nullptr;
    return run;
  }
  unique_handle process(pi.hProcess), thread(pi.hThread);
  // Watching begins before the program runs, so no box can be missed.
  const DWORD watched = boxes_of == TBoxesOf::Program ? pi.dwProcessId : 0;  // 0: every process
  EventHook hook{SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr,
                                 &OnWindowCreated, watched, 0, WINEVENT_OUTOFCONTEXT)};
  EXPECT_NE(hook.hook, nullptr);
  ResumeThread(thread.get());

  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    while (!dialogs.empty()) {
      HWND box = dialogs.front();
      dialogs.erase(dialogs.begin());
      run.boxes.push_back(ReadAndClose(box, while_open));
    }
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    HANDLE h = process.get();
    DWORD r = MsgWaitForMultipleObjects(1, &h, FALSE, static_cast<DWORD>(deadline - now),
                                        QS_ALLINPUT);
    if (r == WAIT_OBJECT_0) break;
  }
  g_new_dialogs = nullptr;
  if (WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0) {
    ADD_FAILURE() << WideToUtf8(command) << " did not end within " << timeout_ms << " ms";
    TerminateProcess(process.get(), 99);
    WaitForSingleObject(process.get(), 10000);
    return run;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  run.exit_code = static_cast<int>(code);
  return run;
}

namespace {
std::wstring FullPath(const std::wstring& path) {
  wchar_t buffer[MAX_PATH * 4] = {};
  DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 4, buffer, nullptr);
  return n > 0 && n < MAX_PATH * 4 ? std::wstring(buffer, n) : path;
}
}  // namespace

std::wstring HostPath() { return SelfDir() + L"\\service_test_host.exe"; }

std::wstring ServicePath() {
  std::wstring path = FullPath(SelfDir() + L"\\..\\..\\src\\service\\velotarnsvc.exe");
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES ? std::wstring() : path;
}

std::wstring SystemText(DWORD code) { return SysErrorMessage(code); }

// --- SCM ------------------------------------------------------------------------------------

unique_schandle OpenManager() {
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  EXPECT_TRUE(manager) << "OpenSCManagerW: " << GetLastError();
  return manager;
}

unique_schandle OpenVelotarn() {
  unique_schandle manager = OpenManager();
  if (!manager) return {};
  return unique_schandle(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
}

SERVICE_STATUS_PROCESS QueryStatus(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                   reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
      << GetLastError();
  return status;
}

Registration QueryRegistration(SC_HANDLE service) {
  Registration r;
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed + 16);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
    ADD_FAILURE() << "QueryServiceConfigW: " << GetLastError();
    return r;
  }
  auto text = [](const wchar_t* s) { return s ? std::wstring(s) : std::wstring(L"(null)"); };
  r.binary_path = text(config->lpBinaryPathName);
  r.display_name = text(config->lpDisplayName);
  r.load_order_group = text(config->lpLoadOrderGroup);
  r.dependencies = text(config->lpDependencies);
  r.start_name = text(config->lpServiceStartName);
  r.service_type = config->dwServiceType;
  r.start_type = config->dwStartType;
  r.error_control = config->dwErrorControl;
  return r;
}

namespace {
struct StateNotification {
  SERVICE_NOTIFYW notify{};
  bool fired = false;
};

void CALLBACK OnStateNotified(void* parameter) {
  auto* n = static_cast<StateNotification*>(static_cast<SERVICE_NOTIFYW*>(parameter)->pContext);
  n->fired = true;
}

DWORD NotifyMask(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return SERVICE_NOTIFY_STOPPED;
    case SERVICE_START_PENDING: return SERVICE_NOTIFY_START_PENDING;
    case SERVICE_STOP_PENDING: return SERVICE_NOTIFY_STOP_PENDING;
    case SERVICE_RUNNING: return SERVICE_NOTIFY_RUNNING;
    case SERVICE_CONTINUE_PENDING: return SERVICE_NOTIFY_CONTINUE_PENDING;
    case SERVICE_PAUSE_PENDING: return SERVICE_NOTIFY_PAUSE_PENDING;
    default: return SERVICE_NOTIFY_PAUSED;
  }
}
}  // namespace

bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeout_ms) {
  // The SCM calls back (as an APC of this thread) once the service is in the state. If the wait
  // times out the notification may still come later: its memory is then left allocated on
  // purpose rather than freed under it.
  auto* n = new StateNotification;
  n->notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
  n->notify.pfnNotifyCallback = &OnStateNotified;
  n->notify.pContext = n;
  DWORD r = NotifyServiceStatusChangeW(service, NotifyMask(state), &n->notify);
  if (r != ERROR_SUCCESS) {
    ADD_FAILURE() << "NotifyServiceStatusChangeW: " << r;
    delete n;
    return false;
  }
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (!n->fired) {
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    SleepEx(static_cast<DWORD>(deadline - now), TRUE);  // returns when the APC has run
  }
  delete n;
  return true;
}

void CleanServiceSlot::RemoveService() {
  unique_schandle service = OpenVelotarn();
  if (!service) return;
  SERVICE_STATUS_PROCESS status = QueryStatus(service.get());
  unique_handle process;
  if (status.dwProcessId != 0)
    process.reset(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
  if (status.dwCurrentState != SERVICE_STOPPED) {
    SERVICE_STATUS ignored{};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
    EXPECT_TRUE(WaitForState(service.get(), SERVICE_STOPPED)) << "svVelotarn did not stop";
  }
  // Marked for deletion already: the service of an earlier case that the SCM has not let go
  // of yet, although its process has ended. It goes once the SCM has done so.
  EXPECT_TRUE(DeleteService(service.get()) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE)
      << "DeleteService: " << GetLastError();
  if (process) {
    EXPECT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0)
        << "the service process did not end";
  }
}

// --- Probe pipe -----------------------------------------------------------------------------

ProbePipe::ProbePipe()
    : pipe_(CreateNamedPipeW(L"\\\\.\\pipe\\VelotarnHostProbe",
                             PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096,
                             0, nullptr)),
      event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  EXPECT_TRUE(pipe_) << "CreateNamedPipeW: " << GetLastError();
}

std::string ProbePipe::Next(DWORD timeout_ms) {
  if (!pipe_) return {};
  OVERLAPPED ov{};
  ov.hEvent = event_.get();
  DWORD got = 0;
  if (!connected_) {
    ResetEvent(event_.get());
    if (!ConnectNamedPipe(pipe_.get(), &ov)) {
      DWORD e = GetLastError();
      if (e == ERROR_IO_PENDING) {
        if (WaitForSingleObject(event_.get(), timeout_ms) != WAIT_OBJECT_0) {
          CancelIo(pipe_.get());
          GetOverlappedResult(pipe_.get(), &ov, &got, TRUE);
          return {};
        }
      } else if (e != ERROR_PIPE_CONNECTED) {
        return {};
      }
    }
    connected_ = true;
  }
  char buffer[512];
  ResetEvent(event_.get());
  if (!ReadFile(pipe_.get(), buffer, sizeof buffer, &got, &ov)) {
    if (GetLastError() != ERROR_IO_PENDING) return {};
    if (WaitForSingleObject(event_.get(), timeout_ms) != WAIT_OBJECT_0) {
      CancelIo(pipe_.get());
      GetOverlappedResult(pipe_.get(), &ov, &got, TRUE);  // the read is over before ov goes
      return {};
    }
    if (!GetOverlappedResult(pipe_.get(), &ov, &got, FALSE)) return {};
  }
  return std::string(buffer, got);
}

}  // namespace velotarn::test
