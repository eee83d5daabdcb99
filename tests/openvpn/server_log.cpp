#include "server_log.h"

#include "runtime/handles.h"

namespace velotarn::test {

namespace {

constexpr char kUp[] = "Initialization Sequence Completed";
constexpr char kListening[] = "link local (bound)";

size_t CountIn(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size()))
    ++n;
  return n;
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

}  // namespace

std::string TServerLog::Text() const {
  unique_handle file(CreateFileW(path_.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  std::string text;
  if (!file) return text;
  char buffer[16384];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    text.append(buffer, got);
  return text;
}

size_t TServerLog::Count(const std::string& text) const { return CountIn(Text(), text); }

// The folder's change notification wakes the wait whenever the server writes: no polling.
template <class Done>
bool TServerLog::WaitUntil(Done done, DWORD timeout_ms) const {
  unique_find_change change(FindFirstChangeNotificationW(
      FolderOf(path_).c_str(), FALSE, FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE));
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (done(Text())) return true;
    const ULONGLONG now = GetTickCount64();
    if (!change || now >= deadline) return false;
    if (WaitForSingleObject(change.get(), static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0)
      return done(Text());
    FindNextChangeNotification(change.get());
  }
}

bool TServerLog::WaitCount(const std::string& text, size_t count, DWORD timeout_ms) const {
  return WaitUntil([&](const std::string& log) { return CountIn(log, text) >= count; },
                   timeout_ms);
}

bool TServerLog::WaitReady(DWORD timeout_ms) const {
  return WaitUntil(
      [](const std::string& log) {
        const size_t gone = CountIn(log, kClientGone);
        return CountIn(log, kUp) == gone && CountIn(log, kListening) > gone;
      },
      timeout_ms);
}

}  // namespace velotarn::test
