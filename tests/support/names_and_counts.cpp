#include "names_and_counts.h"

#include <winternl.h>
#include <tlhelp32.h>

#include <atomic>
#include <vector>

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

std::wstring UniqueName(const std::wstring& prefix) {
  static std::atomic<int> counter{0};
  return Format(L"velotarn-%ls-%lu-%d", prefix.c_str(), GetCurrentProcessId(), ++counter);
}

DWORD HandleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

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

std::set<DWORD> ThreadIds(DWORD pid) {
  std::set<DWORD> ids;
  WalkSnapshot(TH32CS_SNAPTHREAD, &Thread32First, &Thread32Next, [&](const THREADENTRY32& entry) {
    if (entry.th32OwnerProcessID == pid) ids.insert(entry.th32ThreadID);
  });
  return ids;
}

DWORD ThreadCount(DWORD pid) { return static_cast<DWORD>(ThreadIds(pid).size()); }

}  // namespace velotarn::test
