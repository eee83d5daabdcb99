#include "bench_service.h"

#include <cstdio>

#include "bench_util.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace velotarn::bench {

namespace {
constexpr DWORD kInstallRunMs = 60000;
constexpr DWORD kStartMs = 30000;
// The service's own stop can take its pipe-thread wait (10 s) plus the control module's waits
// for a running child (20 s and 10 s).
constexpr DWORD kStopMs = 45000;

// An error box left open by an install run (it would wait for OK forever): its text.
std::wstring OpenBoxText(DWORD pid) {
  struct Search {
    DWORD pid;
    std::wstring text;
  } search{pid, L""};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t cls[64] = {};
        GetClassNameW(window, cls, 64);
        if (owner != s->pid || std::wstring(cls) != L"#32770") return TRUE;
        wchar_t text[1024] = {};
        GetDlgItemTextW(window, 0xFFFF, text, 1024);
        s->text = text;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.text;
}

DWORD ServicePid(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed))
    return 0;
  return status.dwCurrentState == SERVICE_STOPPED ? 0 : status.dwProcessId;
}

// Stops a service and waits for its process to end. Returns what went wrong, or "".
std::wstring StopService(SC_HANDLE service, HANDLE known_process) {
  unique_handle opened;
  HANDLE process = known_process;
  if (process == nullptr) {
    DWORD pid = ServicePid(service);
    if (pid == 0) return L"";
    opened.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
    process = opened.get();
  }
  SERVICE_STATUS status{};
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status) &&
      GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
    return Format(L"stop control failed with error %lu", GetLastError());
  if (process != nullptr && WaitExitOrKill(process, kStopMs) == -1)
    return Format(L"the service process did not end within %lu ms of the stop control; killed",
                  kStopMs);
  return L"";
}
}  // namespace

TBenchService::TBenchService(const std::wstring& exe_path) {
  manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager_) throw EOSError(GetLastError(), L"\r\nopening the SCM");
  // A registration left behind by an interrupted run would make the install fail (1073).
  if (unique_schandle stale{OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS)}) {
    std::wstring problem = StopService(stale.get(), nullptr);
    if (!problem.empty()) std::printf("note: stale service: %ls\n", problem.c_str());
    DeleteService(stale.get());
  }
  Install(exe_path);
  try {
    StartAndWaitRunning();
  } catch (...) {
    StopAndDelete();
    throw;
  }
}

TBenchService::~TBenchService() {
  std::wstring problem = StopAndDelete();
  if (!problem.empty()) std::printf("warning: %ls\n", problem.c_str());
}

void TBenchService::Install(const std::wstring& exe_path) {
  TChild run = StartProcess(Quoted(exe_path) + L" /install /silent");
  if (WaitForSingleObject(run.Process.get(), kInstallRunMs) != WAIT_OBJECT_0) {
    std::wstring box = OpenBoxText(run.Pid);
    WaitExitOrKill(run.Process.get(), 0);
    throw Exception(L"the install run did not end" +
                    (box.empty() ? std::wstring() : L": its message box says \"" + box + L"\""));
  }
  service_.reset(OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (!service_) throw EOSError(GetLastError(), L"\r\nthe install run registered no service");
}

void TBenchService::StartAndWaitRunning() {
  if (!StartServiceW(service_.get(), 0, nullptr))
    throw EOSError(GetLastError(), L"\r\nStartServiceW");
  // The SCM calls back (as an APC to this thread) once the state is RUNNING or STOPPED.
  struct Notified {
    bool fired = false;
  } notified;
  SERVICE_NOTIFYW notify{};
  notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
  notify.pfnNotifyCallback = [](void* param) {
    auto* n = static_cast<SERVICE_NOTIFYW*>(param);
    static_cast<Notified*>(n->pContext)->fired = true;
  };
  notify.pContext = &notified;
  DWORD rc = NotifyServiceStatusChangeW(service_.get(),
                                        SERVICE_NOTIFY_RUNNING | SERVICE_NOTIFY_STOPPED, &notify);
  if (rc != ERROR_SUCCESS) throw EOSError(rc, L"\r\nNotifyServiceStatusChangeW");
  TDeadline deadline(kStartMs);
  while (!notified.fired && !deadline.Passed()) SleepEx(deadline.Left(), TRUE);
  if (!notified.fired) {
    // Closing the handle cancels the request, so `notify` is never written after this frame.
    service_.reset();
    throw Exception(Format(L"the service did not report RUNNING within %lu ms", kStartMs));
  }
  if (notify.ServiceStatus.dwCurrentState != SERVICE_RUNNING)
    throw Exception(Format(L"the service stopped at start (exit code %lu, service code %lu)",
                           notify.ServiceStatus.dwWin32ExitCode,
                           notify.ServiceStatus.dwServiceSpecificExitCode));
  pid_ = notify.ServiceStatus.dwProcessId;
  process_.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION |
                                 PROCESS_VM_READ,
                             FALSE, pid_));
  if (!process_) throw EOSError(GetLastError(), L"\r\nopening the service process");
}

std::wstring TBenchService::StopAndDelete() {
  std::wstring problem;
  if (!service_ && manager_)
    service_.reset(OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (service_) {
    problem = StopService(service_.get(), process_.get());
    if (!DeleteService(service_.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
      problem += Format(L"%lsDeleteService failed with error %lu", problem.empty() ? L"" : L"; ",
                        GetLastError());
  }
  service_.reset();
  process_.reset();
  manager_.reset();
  return problem;
}

}  // namespace velotarn::bench
