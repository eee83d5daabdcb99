#include "raw_pipe_client.h"

#include "control/reply_record.h"
#include "test_support.h"

namespace velotarn::test {

namespace {

unique_handle NewEvent() { return unique_handle(CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

}  // namespace

TRawClient::TRawClient(const std::wstring& pipe_name) : FStop(NewEvent()) {
  const std::wstring path = L"\\\\.\\pipe\\" + pipe_name;
  // The listener creates the pipe on its own thread soon after the server is activated: until
  // then the name does not exist and WaitNamedPipeW fails at once, so the loop runs meanwhile.
  bool ready = PumpUntil(
      [&] { return WaitNamedPipeW(path.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND; },
      10000);
  if (!ready || !WaitNamedPipeW(path.c_str(), 10000)) return;
  FPipe.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr));
  if (!FPipe) return;
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(FPipe.get(), &mode, nullptr, nullptr);
  FReader = std::thread([this] { ReadLoop(); });
}

TRawClient::~TRawClient() { Close(); }

void TRawClient::Close() {
  SetEvent(FStop.get());
  if (FReader.joinable()) FReader.join();
  FPipe.reset();
}

bool TRawClient::Send(std::string_view bytes) {
  if (!FPipe) return false;
  unique_handle done = NewEvent();
  OVERLAPPED ov{};
  ov.hEvent = done.get();
  DWORD written = 0;
  if (!WriteFile(FPipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &ov) &&
      GetLastError() != ERROR_IO_PENDING)
    return false;
  // The server always has a read outstanding on a connected instance: this ends.
  return GetOverlappedResult(FPipe.get(), &ov, &written, TRUE) && written == bytes.size();
}

void TRawClient::ReadLoop() {
  unique_handle done = NewEvent();
  std::vector<char> buffer(65536);
  for (;;) {
    OVERLAPPED ov{};
    ov.hEvent = done.get();
    ResetEvent(done.get());
    DWORD got = 0;
    BOOL ok = ReadFile(FPipe.get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      HANDLE waits[2] = {done.get(), FStop.get()};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIoEx(FPipe.get(), &ov);
        GetOverlappedResult(FPipe.get(), &ov, &got, TRUE);  // the buffer is ours again
        return;
      }
      ok = TRUE;
    } else if (!ok) {
      std::lock_guard<std::mutex> guard(FLock);
      FBroken = true;
      return;
    }
    if (!GetOverlappedResult(FPipe.get(), &ov, &got, FALSE)) {
      std::lock_guard<std::mutex> guard(FLock);
      FBroken = true;
      return;
    }
    std::lock_guard<std::mutex> guard(FLock);
    FMessages.emplace_back(buffer.data(), got);
  }
}

std::vector<std::string> TRawClient::Messages() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FMessages;
}

std::vector<std::string> TRawClient::Texts() const {
  std::vector<std::string> texts;
  for (const std::string& m : Messages()) texts.emplace_back(RecordText(m.data(), m.size()));
  return texts;
}

size_t TRawClient::EndMarkers() const {
  size_t count = 0;
  for (const std::string& text : Texts()) count += text == kEndMarker;
  return count;
}

bool TRawClient::Broken() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FBroken;
}

bool TRawClient::WaitFor(const std::function<bool(const TRawClient&)>& done, DWORD timeout_ms) {
  return PumpUntil([&] { return done(*this); }, timeout_ms);
}

bool TRawClient::WaitEndMarkers(size_t count, DWORD timeout_ms) {
  return WaitFor([count](const TRawClient& c) { return c.EndMarkers() >= count; }, timeout_ms);
}

}  // namespace velotarn::test
