#include "bench_util.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace velotarn::bench {

namespace {
int64_t QpcFrequency() noexcept {
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  return frequency;
}

// Owns a process attribute list for the handle list of one CreateProcessW call.
class TAttributeList {
 public:
  explicit TAttributeList(const std::vector<HANDLE>& handles) : handles_(handles) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!InitializeProcThreadAttributeList(list_, 1, 0, &size)) RaiseLastOSError();
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      DWORD error = GetLastError();
      DeleteProcThreadAttributeList(list_);
      RaiseLastOSError(error);
    }
  }
  ~TAttributeList() { DeleteProcThreadAttributeList(list_); }
  TAttributeList(const TAttributeList&) = delete;
  TAttributeList& operator=(const TAttributeList&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST get() const noexcept { return list_; }

 private:
  std::vector<HANDLE> handles_;  // must stay alive as long as the list
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};
}  // namespace

int64_t QpcNow() noexcept {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

double QpcToMicros(int64_t ticks) noexcept {
  return static_cast<double>(ticks) * 1e6 / static_cast<double>(QpcFrequency());
}

double QpcSecondsSince(int64_t start) noexcept { return QpcToMicros(QpcNow() - start) / 1e6; }

DWORD TDeadline::Left() const noexcept {
  ULONGLONG now = GetTickCount64();
  return now >= end_ ? 0 : static_cast<DWORD>(end_ - now);
}

TChild::~TChild() {
  if (Process) WaitExitOrKill(Process.get(), 0);
}

TChild StartProcess(const std::wstring& command_line, const std::vector<HANDLE>& inherit,
                    HANDLE std_out, const wchar_t* directory) {
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof(si);
  if (std_out != nullptr) {
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdOutput = std_out;
    si.StartupInfo.hStdError = std_out;
  }
  std::unique_ptr<TAttributeList> attributes;
  DWORD flags = 0;
  if (!inherit.empty()) {
    attributes = std::make_unique<TAttributeList>(inherit);
    si.lpAttributeList = attributes->get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  std::wstring writable = command_line;  // CreateProcessW may modify its command line
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, inherit.empty() ? FALSE : TRUE,
                      flags, nullptr, directory, &si.StartupInfo, &pi))
    throw EOSError(GetLastError(), Format(L"\r\nstarting %ls", command_line.c_str()));
  unique_handle thread(pi.hThread);
  TChild child;
  child.Process.reset(pi.hProcess);
  child.Pid = pi.dwProcessId;
  return child;
}

int WaitExitOrKill(HANDLE process, DWORD ms) {
  if (WaitForSingleObject(process, ms) != WAIT_OBJECT_0) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 5000);  // the outcome changes nothing: it has been told to end
    return -1;
  }
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  return static_cast<int>(code);
}

std::wstring ProgramDir() {
  std::wstring path = ModuleFileName();
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

unique_handle NewInheritableEvent() {
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  unique_handle event(CreateEventW(&sa, FALSE, FALSE, nullptr));
  if (!event) RaiseLastOSError();
  return event;
}

std::wstring HandleArg(HANDLE h) {
  return std::to_wstring(static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(h)));
}

HANDLE ParseHandleArg(const wchar_t* text) {
  return reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(wcstoull(text, nullptr, 10)));
}

std::wstring PipePath(const std::wstring& name) { return L"\\\\.\\pipe\\" + name; }

std::wstring UniquePipeName(const wchar_t* purpose) {
  static unsigned serial = 0;
  return Format(L"VelotarnBench%ls.%lu.%u", purpose, GetCurrentProcessId(), ++serial);
}

unique_handle ConnectPipe(const std::wstring& name, DWORD timeout_ms, HANDLE server) {
  const std::wstring path = PipePath(name);
  TDeadline deadline(timeout_ms);
  for (;;) {
    unique_handle pipe(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (pipe) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) RaiseLastOSError();
      return pipe;
    }
    DWORD error = GetLastError();
    if (deadline.Passed())
      throw Exception(Format(L"could not connect to %ls within %lu ms (error %lu)", path.c_str(),
                             timeout_ms, error));
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(path.c_str(), deadline.Left());  // the next attempt tells what happened
    } else if (error == ERROR_FILE_NOT_FOUND && server != nullptr) {
      if (WaitForSingleObject(server, std::min<DWORD>(deadline.Left(), 10)) == WAIT_OBJECT_0)
        throw Exception(Format(L"the server of %ls ended before it listened", path.c_str()));
    } else {
      throw EOSError(error, Format(L"\r\nopening %ls", path.c_str()));
    }
  }
}

TPipeIo::TPipeIo(HANDLE pipe)
    : pipe_(pipe),
      read_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      write_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!read_event_ || !write_event_) RaiseLastOSError();
}

DWORD TPipeIo::Complete(OVERLAPPED& ov, BOOL started, DWORD timeout_ms, const wchar_t* what,
                        const wchar_t* op) {
  DWORD error = started ? ERROR_SUCCESS : GetLastError();
  if (!started && error != ERROR_IO_PENDING)
    throw EOSError(error, Format(L"\r\n%ls: %ls", what, op));
  if (WaitForSingleObject(ov.hEvent, timeout_ms) != WAIT_OBJECT_0) {
    CancelIoEx(pipe_, &ov);
    DWORD ignored = 0;
    GetOverlappedResult(pipe_, &ov, &ignored, TRUE);  // ov must not be left in flight
    throw Exception(Format(L"%ls: no %ls within %lu ms", what, op, timeout_ms));
  }
  DWORD count = 0;
  if (!GetOverlappedResult(pipe_, &ov, &count, FALSE))
    throw EOSError(GetLastError(), Format(L"\r\n%ls: %ls", what, op));
  return count;
}

DWORD TPipeIo::ReadMessage(void* buffer, DWORD capacity, DWORD timeout_ms, const wchar_t* what) {
  OVERLAPPED ov{};
  ov.hEvent = read_event_.get();
  ResetEvent(ov.hEvent);
  BOOL started = ReadFile(pipe_, buffer, capacity, nullptr, &ov);
  return Complete(ov, started, timeout_ms, what, L"read");
}

void TPipeIo::WriteMessage(const void* buffer, DWORD count, DWORD timeout_ms,
                           const wchar_t* what) {
  OVERLAPPED ov{};
  ov.hEvent = write_event_.get();
  ResetEvent(ov.hEvent);
  BOOL started = WriteFile(pipe_, buffer, count, nullptr, &ov);
  DWORD written = Complete(ov, started, timeout_ms, what, L"write");
  if (written != count) throw Exception(Format(L"%ls: short write", what));
}

std::vector<uint8_t> MakeRecord(std::string_view text) {
  std::vector<uint8_t> record(kRecordSize, 0);
  std::memcpy(record.data(), text.data(), std::min<size_t>(text.size(), kRecordSize - 1));
  return record;
}

std::string_view RecordText(const uint8_t* bytes, DWORD count) noexcept {
  const char* text = reinterpret_cast<const char*>(bytes);
  return std::string_view(text, strnlen(text, count));
}

std::string_view TrimLineBreaks(std::string_view line) noexcept {
  if (!line.empty() && line.front() == '\n') line.remove_prefix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::string WriterLine(long index, int bytes) {
  std::string line(static_cast<size_t>(bytes), '0');
  if (bytes >= 10) {
    char head[16];
    std::snprintf(head, sizeof head, "L%08ld ", index);
    std::memcpy(line.data(), head, 10);
    for (int k = 10; k < bytes; ++k) line[k] = static_cast<char>('a' + (index + k) % 26);
    return line;
  }
  for (int k = bytes - 1; k >= 0 && index > 0; --k, index /= 10)
    line[k] = static_cast<char>('0' + index % 10);
  return line;
}

double Median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

}  // namespace velotarn::bench
