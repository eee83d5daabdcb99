#include "process_probe.h"

#include <psapi.h>
#include <winternl.h>
#include <tlhelp32.h>

#include <algorithm>

#include "runtime/handles.h"
#include "runtime/text.h"

namespace velotarn::test {

namespace {

// The system's handle table (SystemHandleInformation): one entry per open handle of every
// process, with the owner's process id.
constexpr ULONG kSystemHandleInformation = 16;
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
struct TSystemHandleEntry {
  ULONG OwnerPid;
  BYTE ObjectType;
  BYTE Flags;
  USHORT Handle;
  PVOID Object;
  ACCESS_MASK Access;
};
struct TSystemHandleTable {
  ULONG Count;
  TSystemHandleEntry Entries[1];
};

}  // namespace

DWORD HandleCount(DWORD pid) {
  std::vector<unsigned char> buffer(256 * 1024);
  ULONG needed = 0;
  NTSTATUS status;
  while ((status = NtQuerySystemInformation(
              static_cast<SYSTEM_INFORMATION_CLASS>(kSystemHandleInformation), buffer.data(),
              static_cast<ULONG>(buffer.size()), &needed)) == kInfoLengthMismatch) {
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return 0;
  const auto* table = reinterpret_cast<const TSystemHandleTable*>(buffer.data());
  DWORD count = 0;
  for (ULONG i = 0; i < table->Count; ++i)
    if (table->Entries[i].OwnerPid == pid) ++count;
  return count;
}

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

std::set<DWORD> ThreadIds(DWORD pid) {
  std::set<DWORD> ids;
  unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return ids;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Thread32First(snapshot.get(), &entry); ok;
       ok = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == pid) ids.insert(entry.th32ThreadID);
  }
  return ids;
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
  unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return list;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Process32FirstW(snapshot.get(), &entry); ok;
       ok = Process32NextW(snapshot.get(), &entry)) {
    list.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
  }
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
