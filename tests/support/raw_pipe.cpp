#include "raw_pipe.h"

#include "test_support.h"

namespace velotarn::test {

namespace {

unique_handle NewEvent() { return unique_handle(CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

}  // namespace

bool PumpWait(HANDLE event, DWORD timeout_ms) {
  return PumpUntil([event] { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; },
                   timeout_ms);
}

bool PlainWait(HANDLE event, DWORD timeout_ms) {
  return WaitForSingleObject(event, timeout_ms) == WAIT_OBJECT_0;
}

std::wstring PipePath(const std::wstring& name) { return L"\\\\.\\pipe\\" + name; }

bool WaitServed(const std::wstring& name, DWORD timeout_ms) {
  std::wstring path = PipePath(name);
  return PumpUntil([&] { return WaitNamedPipeW(path.c_str(), 20) != FALSE; }, timeout_ms);
}

bool RawPipe::Open(const std::wstring& name, DWORD timeout_ms) {
  const std::wstring path = PipePath(name);
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  // WaitNamedPipeW fails at once while no instance exists at all (a listener creates the
  // pipe on its own thread): retry in short waits, letting the wait function run between.
  unique_handle never = NewEvent();
  for (;;) {
    if (WaitNamedPipeW(path.c_str(), 50)) {
      pipe_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
      if (pipe_) break;
    }
    if (GetTickCount64() >= deadline) return false;
    wait_(never.get(), 10);
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  return SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr) != FALSE;
}

bool RawPipe::Create(const std::wstring& name) {
  pipe_.reset(CreateNamedPipeW(PipePath(name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                               PIPE_UNLIMITED_INSTANCES, 0, 0, 1000, nullptr));
  return pipe_.valid();
}

bool RawPipe::Listen() {
  if (!connect_event_) connect_event_ = NewEvent();
  ResetEvent(connect_event_.get());
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

bool RawPipe::Accept(DWORD timeout_ms) {
  if (!listening_ && !Listen()) return false;
  listening_ = false;
  return Finish(&connect_, timeout_ms, wait_);
}

bool RawPipe::Finish(OVERLAPPED* ov, DWORD timeout_ms, const TWait& wait) {
  if (wait(ov->hEvent, timeout_ms)) return true;
  DWORD ignored = 0;
  CancelIoEx(pipe_.get(), ov);
  GetOverlappedResult(pipe_.get(), ov, &ignored, TRUE);
  return false;
}

bool RawPipe::Send(std::string_view bytes, DWORD timeout_ms) {
  unique_handle event = NewEvent();
  OVERLAPPED ol{};
  ol.hEvent = event.get();
  DWORD written = 0;
  if (!WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, &ol)) {
    if (GetLastError() != ERROR_IO_PENDING || !Finish(&ol, timeout_ms, wait_)) return false;
    if (!GetOverlappedResult(pipe_.get(), &ol, &written, TRUE)) return false;
  }
  return written == bytes.size();
}

std::optional<std::string> RawPipe::Receive(DWORD timeout_ms, const TWait& wait) {
  unique_handle event = NewEvent();
  std::string message;
  char buffer[4096];
  for (;;) {
    OVERLAPPED ol{};
    ol.hEvent = event.get();
    DWORD read = 0;
    BOOL done = ReadFile(pipe_.get(), buffer, sizeof(buffer), &read, &ol);
    DWORD error = done ? 0 : GetLastError();
    if (error == ERROR_IO_PENDING) {
      if (!Finish(&ol, timeout_ms, wait)) {
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

}  // namespace velotarn::test
