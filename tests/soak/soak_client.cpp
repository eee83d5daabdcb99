#include "soak_client.h"

#include <cstring>

namespace velotarn::test {

namespace {
// Larger than a record: a longer message shows up as a wrong size, not as a read error.
constexpr size_t kReadBuffer = 4 * kRecordBytes;

bool ParseNumber(std::string_view text, size_t* at, int* value) {
  size_t start = *at;
  long long v = 0;
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9' && *at - start < 9)
    v = v * 10 + (text[(*at)++] - '0');
  *value = static_cast<int>(v);
  return *at > start;
}
}  // namespace

std::string CheckRecord(const char* data, size_t size, std::string* text) {
  if (size != kRecordBytes) return "a message of " + std::to_string(size) + " bytes";
  const char* zero = static_cast<const char*>(std::memchr(data, 0, size));
  if (zero == nullptr) return "a record without a zero byte";
  for (const char* p = zero; p < data + size; ++p) {
    if (*p != 0) {
      return "a record with bytes after its text: " +
             Printable(std::string_view(data, static_cast<size_t>(zero - data)));
    }
  }
  text->assign(data, zero);
  return {};
}

bool ParseSoakLine(std::string_view text, TSoakLine* line) {
  size_t at = 0;
  if (at < text.size() && text[at] == '\n') ++at;
  if (text.compare(at, 5, "soak ") != 0) return false;
  at += 5;
  if (!ParseNumber(text, &at, &line->run)) return false;
  if (at >= text.size() || text[at++] != ' ') return false;
  if (!ParseNumber(text, &at, &line->index)) return false;
  line->count = 0;
  if (at < text.size() && text[at] == '/') {
    ++at;
    if (!ParseNumber(text, &at, &line->count)) return false;
  }
  return at + 1 == text.size() && text[at] == '\r';
}

std::string Printable(std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text.substr(0, 200)) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (u < 0x20 || u >= 0x7F || c == '\\') {
      out += "\\x";
      out += hex[u >> 4];
      out += hex[u & 15];
    } else {
      out += c;
    }
  }
  if (text.size() > 200) out += "...";
  return out;
}

TSoakClient::TSoakClient()
    : read_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      write_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      buffer_(kReadBuffer) {
  read_ov_.hEvent = read_event_.get();
  write_ov_.hEvent = write_event_.get();
}

bool TSoakClient::Connect(DWORD timeout_ms) {
  Close();
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    pipe_.reset(CreateFileW(kOvpnPipePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (pipe_) break;
    if (GetLastError() != ERROR_PIPE_BUSY) return false;
    // Every instance is taken: the listener makes the next one for us.
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitNamedPipeW(kOvpnPipePath, static_cast<DWORD>(deadline - now));
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr)) {
    pipe_.reset();
    return false;
  }
  broken_ = false;
  break_error_ = 0;
  StartRead();
  return true;
}

void TSoakClient::StartRead() {
  while (pipe_ && !broken_ && !read_pending_) {
    ResetEvent(read_event_.get());
    DWORD got = 0;
    if (ReadFile(pipe_.get(), buffer_.data(), static_cast<DWORD>(buffer_.size()), &got,
                 &read_ov_)) {
      TakeMessage(got);
      continue;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      read_pending_ = true;
    } else if (error == ERROR_MORE_DATA) {
      faults_.push_back("a message longer than " + std::to_string(buffer_.size()) + " bytes");
    } else {
      broken_ = true;
      break_error_ = error;
    }
  }
}

void TSoakClient::FinishRead() {
  DWORD got = 0;
  BOOL ok = GetOverlappedResult(pipe_.get(), &read_ov_, &got, FALSE);
  DWORD error = GetLastError();
  read_pending_ = false;
  if (ok) {
    TakeMessage(got);
  } else if (error == ERROR_MORE_DATA) {
    faults_.push_back("a message longer than " + std::to_string(buffer_.size()) + " bytes");
  } else {
    broken_ = true;
    break_error_ = error;
    return;
  }
  StartRead();
}

void TSoakClient::TakeMessage(DWORD size) {
  std::string text;
  std::string fault = CheckRecord(buffer_.data(), size, &text);
  if (!fault.empty()) {
    faults_.push_back(fault);
    return;
  }
  ++record_count_;
  texts_.push_back(std::move(text));
}

bool TSoakClient::WaitOnce(ULONGLONG deadline) {
  HANDLE waits[2];
  DWORD count = 0;
  if (read_pending_) waits[count++] = read_event_.get();
  if (write_pending_) waits[count++] = write_event_.get();
  const ULONGLONG now = GetTickCount64();
  if (count == 0 || now >= deadline) return false;
  const DWORD r = WaitForMultipleObjects(count, waits, FALSE, static_cast<DWORD>(deadline - now));
  if (r >= WAIT_OBJECT_0 + count) return false;
  if (waits[r - WAIT_OBJECT_0] == read_event_.get()) {
    FinishRead();
  } else {
    DWORD written = 0;
    write_ok_ =
        GetOverlappedResult(pipe_.get(), &write_ov_, &written, FALSE) && written == write_size_;
    write_pending_ = false;
  }
  return true;
}

template <class Done>
bool TSoakClient::Pump(ULONGLONG deadline, Done done) {
  while (!done()) {
    if (!WaitOnce(deadline)) return done();
  }
  return true;
}

bool TSoakClient::Send(std::string_view bytes, DWORD timeout_ms) {
  if (!pipe_ || write_pending_) return false;
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  ResetEvent(write_event_.get());
  write_size_ = static_cast<DWORD>(bytes.size());
  DWORD written = 0;
  if (WriteFile(pipe_.get(), bytes.data(), write_size_, &written, &write_ov_))
    return written == write_size_;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  write_pending_ = true;
  write_ok_ = false;
  if (!Pump(deadline, [this] { return !write_pending_; })) {
    CancelAndWait(&write_ov_);
    write_pending_ = false;
    return false;
  }
  return write_ok_;
}

size_t TSoakClient::Receive(size_t count, DWORD timeout_ms) {
  const size_t before = record_count_;
  Pump(GetTickCount64() + timeout_ms,
       [&] { return record_count_ - before >= count || broken_; });
  return record_count_ - before;
}

bool TSoakClient::ReceiveUntil(std::string_view text, int times, DWORD timeout_ms) {
  size_t checked = texts_.size();
  int seen = 0;
  auto done = [&] {
    for (; checked < texts_.size(); ++checked)
      if (texts_[checked] == text) ++seen;
    return seen >= times;
  };
  return Pump(GetTickCount64() + timeout_ms, done) || done();
}

std::vector<std::string> TSoakClient::TakeTexts() {
  std::vector<std::string> taken;
  taken.swap(texts_);
  return taken;
}

void TSoakClient::CancelAndWait(OVERLAPPED* ov) {
  DWORD ignored = 0;
  CancelIoEx(pipe_.get(), ov);
  // The buffer and the OVERLAPPED stay alive until the operation is over.
  GetOverlappedResult(pipe_.get(), ov, &ignored, TRUE);
}

void TSoakClient::Close() {
  if (!pipe_) return;
  if (read_pending_) CancelAndWait(&read_ov_);
  if (write_pending_) CancelAndWait(&write_ov_);
  read_pending_ = write_pending_ = false;
  pipe_.reset();
}

}  // namespace velotarn::test
