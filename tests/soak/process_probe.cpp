#include "process_probe.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>

#include "runtime/handles.h"
#include "runtime/text.h"

namespace velotarn::test {

TProcessFigures MeasureProcess(HANDLE process, DWORD pid) {
  TProcessFigures f;
  f.handles = HandleCount(pid);
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(process, &counters, sizeof counters)) {
    f.pagefile_bytes = counters.PagefileUsage;
    f.working_set_bytes = counters.WorkingSetSize;
  }
  f.threads = static_cast<DWORD>(ThreadIds(pid).size());
  return f;
}

std::string Describe(const TProcessFigures& f) {
  return std::to_string(f.handles) + " handles, " + std::to_string(f.threads) + " threads, " +
         std::to_string(f.pagefile_bytes / 1024) + " KiB pagefile, " +
         std::to_string(f.working_set_bytes / 1024) + " KiB working set";
}

std::set<DWORD> WaitForThreadsToEnd(DWORD pid, const std::set<DWORD>& keep, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  std::set<DWORD> left;
  for (DWORD id : ThreadIds(pid)) {
    if (keep.count(id)) continue;
    unique_handle thread(OpenThread(SYNCHRONIZE, FALSE, id));
    if (!thread) continue;  // already gone
    ULONGLONG now = GetTickCount64();
    DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (WaitForSingleObject(thread.get(), wait) != WAIT_OBJECT_0) left.insert(id);
  }
  return left;
}

std::vector<TProcessEntry> ProcessList() {
  std::vector<TProcessEntry> list;
  WalkSnapshot(TH32CS_SNAPPROCESS, &Process32FirstW, &Process32NextW,
               [&](const PROCESSENTRY32W& entry) {
                 list.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
               });
  return list;
}

namespace {
std::wstring Lower(std::wstring s) {
  for (wchar_t& c : s)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  return s;
}
}  // namespace

std::vector<TProcessEntry> FindProcesses(const std::vector<std::wstring>& images, DWORD parent) {
  std::vector<TProcessEntry> found;
  for (const TProcessEntry& e : ProcessList()) {
    std::wstring image = Lower(e.image);
    bool named = std::any_of(images.begin(), images.end(),
                             [&](const std::wstring& name) { return Lower(name) == image; });
    if (named || (parent != 0 && e.parent == parent)) found.push_back(e);
  }
  return found;
}

std::string Describe(const std::vector<TProcessEntry>& entries) {
  std::string out;
  for (const TProcessEntry& e : entries) {
    if (!out.empty()) out += ", ";
    out += WideToUtf8(e.image) + " (pid " + std::to_string(e.pid) + ", parent " +
           std::to_string(e.parent) + ")";
  }
  return out.empty() ? "none" : out;
}

}  // namespace velotarn::test
