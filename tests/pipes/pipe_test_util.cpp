#include "pipe_test_util.h"

#include <tlhelp32.h>

#include "runtime/text.h"
#include "test_support.h"

namespace velotarn::test {

std::wstring UniquePipeName(const std::wstring& tag) {
  return Format(L"VelotarnTest_%ls_%lu", tag.c_str(), GetCurrentProcessId());
}

std::wstring PipePath(const std::wstring& name) { return L"\\\\.\\pipe\\" + name; }

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed * 7 + (i >> 8)) & 0xFF);
  return s;
}

bool RawClient::Open(const std::wstring& name, DWORD timeout_ms) {
  std::wstring path = PipePath(name);
  // WaitNamedPipeW fails at once while no instance exists at all: retry for a while, pumping
  // so that the server's listener can run its hand-offs.
  bool opened = PumpUntil(
      [&] {
        if (!WaitNamedPipeW(path.c_str(), 50)) return false;
        pipe_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        return pipe_.valid();
      },
      timeout_ms);
  if (!opened) return false;
  DWORD mode = PIPE_READMODE_MESSAGE;
  return SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr) != FALSE;
}

bool RawPipe::Send(const std::string& bytes, DWORD timeout_ms) {
  unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ol{};
  ol.hEvent = event.get();
  DWORD written = 0;
  if (!WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, &ol)) {
    if (GetLastError() != ERROR_IO_PENDING) return false;
    if (!PumpUntil([&] { return WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0; },
                   timeout_ms)) {
      CancelIo(pipe_.get());
      GetOverlappedResult(pipe_.get(), &ol, &written, TRUE);
      return false;
    }
    if (!GetOverlappedResult(pipe_.get(), &ol, &written, TRUE)) return false;
  }
  return written == bytes.size();
}

std::optional<std::string> RawPipe::Receive(DWORD timeout_ms) {
  unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::string message;
  char buffer[1024];
  for (;;) {
    OVERLAPPED ol{};
    ol.hEvent = event.get();
    DWORD read = 0;
    BOOL done = ReadFile(pipe_.get(), buffer, sizeof(buffer), &read, &ol);
    DWORD error = done ? 0 : GetLastError();
    if (error == ERROR_IO_PENDING) {
      if (!PumpUntil([&] { return WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0; },
                     timeout_ms)) {
        CancelIo(pipe_.get());
        GetOverlappedResult(pipe_.get(), &ol, &read, TRUE);
        last_error_ = WAIT_TIMEOUT;
        return std::nullopt;
      }
      done = GetOverlappedResult(pipe_.get(), &ol, &read, TRUE);
      error = done ? 0 : GetLastError();
    }
    if (done) {
      message.append(buffer, read);
      return message;
    }
    if (error != ERROR_MORE_DATA) {
      last_error_ = error;
      return std::nullopt;
    }
    message.append(buffer, sizeof(buffer));
  }
}

bool RawServer::Create(const std::wstring& name) {
  pipe_.reset(CreateNamedPipeW(PipePath(name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                               PIPE_UNLIMITED_INSTANCES, 0, 0, 1000, nullptr));
  return pipe_.valid();
}

bool RawServer::Listen() {
  if (!connect_event_) connect_event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  connect_ = OVERLAPPED{};
  connect_.hEvent = connect_event_.get();
  if (ConnectNamedPipe(pipe_.get(), &connect_)) {
    SetEvent(connect_event_.get());
  } else {
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED)
      SetEvent(connect_event_.get());
    else if (error != ERROR_IO_PENDING)
      return false;
  }
  listening_ = true;
  return true;
}

bool RawServer::Accept(DWORD timeout_ms) {
  if (!listening_ && !Listen()) return false;
  listening_ = false;
  DWORD ignored = 0;
  if (!PumpUntil([&] { return WaitForSingleObject(connect_event_.get(), 0) == WAIT_OBJECT_0; },
                 timeout_ms)) {
    CancelIo(pipe_.get());
    GetOverlappedResult(pipe_.get(), &connect_, &ignored, TRUE);
    return false;
  }
  return true;
}

bool WaitServed(const std::wstring& name, DWORD timeout_ms) {
  std::wstring path = PipePath(name);
  return PumpUntil([&] { return WaitNamedPipeW(path.c_str(), 20) != FALSE; }, timeout_ms);
}

DWORD HandleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

}  // namespace velotarn::test

namespace velotarn::test {

DWORD ThreadCount() {
  unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  DWORD count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  return count;
}

}  // namespace velotarn::test
