#include "control/process_terminator.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <string_view>
#include <vector>

#include "control/image_name.h"
#include "runtime/handles.h"

namespace velotarn {

namespace {

struct TToolhelp {
  decltype(&CreateToolhelp32Snapshot) Snapshot = nullptr;
  decltype(&Process32FirstW) First = nullptr;
  decltype(&Process32NextW) Next = nullptr;
};

// Looked up once, on first use (thread-safe static initialisation).
const TToolhelp& Toolhelp() {
  static const TToolhelp functions = [] {
    TToolhelp t;
    // kernel32.dll is loaded in every process for its whole life: no reference to keep.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel) {
      t.Snapshot = reinterpret_cast<decltype(t.Snapshot)>(
          GetProcAddress(kernel, "CreateToolhelp32Snapshot"));
      t.First = reinterpret_cast<decltype(t.First)>(GetProcAddress(kernel, "Process32FirstW"));
      t.Next = reinterpret_cast<decltype(t.Next)>(GetProcAddress(kernel, "Process32NextW"));
    }
    return t;
  }();
  return functions;
}

}  // namespace

bool ProcessImageMatches(HANDLE Process, const std::wstring& ExeName) {
  std::vector<wchar_t> path(32768);
  DWORD size = static_cast<DWORD>(path.size());
  if (!QueryFullProcessImageNameW(Process, 0, path.data(), &size)) return false;
  return ImageNameMatches(std::wstring_view(path.data(), size), ExeName);
}

std::vector<unique_handle> OpenProcessesByName(const std::wstring& ExeName) {
  std::vector<unique_handle> found;
  const TToolhelp& toolhelp = Toolhelp();
  if (!toolhelp.Snapshot || !toolhelp.First || !toolhelp.Next) return found;
  unique_handle snapshot(toolhelp.Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = toolhelp.First(snapshot.get(), &entry); more;
       more = toolhelp.Next(snapshot.get(), &entry)) {
    std::wstring_view image(entry.szExeFile, wcsnlen(entry.szExeFile, MAX_PATH));
    if (!ImageNameMatches(image, ExeName)) continue;
    // The listed process may have ended since the snapshot and its id gone to a new process,
    // which must not be ended: the opened process is checked by name once more.
    unique_handle process(OpenProcess(
        PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
        entry.th32ProcessID));
    if (process && ProcessImageMatches(process.get(), ExeName)) found.push_back(std::move(process));
  }
  return found;
}

bool KillProcessByName(const std::wstring& ExeName) {
  bool result = false;
  for (const unique_handle& process : OpenProcessesByName(ExeName))
    result = TerminateProcess(process.get(), 0) != FALSE;
  return result;
}

}  // namespace velotarn
