#include "control/allowed_program.h"

#include <windows.h>

#include "control/command_program.h"
#include "runtime/handles.h"
#include "runtime/sys_error.h"

namespace velotarn {

namespace {

// The final path of an existing file on disk, without the "\\?\" prefix; empty with a reason
// otherwise.
std::wstring FinalFilePath(const std::wstring& Path, std::wstring& Reason) {
  // Only the attributes are read; a pipe server at the other end of a path could at most
  // identify the service, never act as it.
  unique_handle file(CreateFileW(Path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT |
                                     SECURITY_IDENTIFICATION,
                                 nullptr));
  if (!file) {
    Reason = L"the program cannot be opened (" + SysErrorMessage(GetLastError()) + L")";
    return {};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file.get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file.get(), &info)) {
    Reason = L"the program is not a file";
    return {};
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    Reason = L"the program is a directory";
    return {};
  }
  std::wstring final_path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(file.get(), final_path.data(),
                                                   static_cast<DWORD>(final_path.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) {
      Reason = L"the program's path cannot be resolved (" + SysErrorMessage(GetLastError()) + L")";
      return {};
    }
    if (length < final_path.size()) {
      final_path.resize(length);
      break;
    }
    final_path.resize(length);  // too small: the length asked for includes the terminator
  }
  if (final_path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + final_path.substr(8);
  if (final_path.rfind(L"\\\\?\\", 0) == 0) return final_path.substr(4);
  return final_path;
}

bool SamePath(const std::wstring& Left, const std::wstring& Right) {
  return CompareStringOrdinal(Left.c_str(), static_cast<int>(Left.size()), Right.c_str(),
                              static_cast<int>(Right.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

TProgramVerdict CheckProgram(const std::wstring& CommandLine,
                             const std::vector<std::wstring>& AllowedPrograms) {
  TProgramVerdict verdict;
  verdict.Program = CommandProgram(CommandLine);
  if (AllowedPrograms.empty()) {
    verdict.Reason = L"no program is allowed (AllowedPrograms is unusable)";
    return verdict;
  }
  if (!IsFullPath(verdict.Program)) {
    verdict.Reason = L"the program is not given as a full path";
    return verdict;
  }
  const std::wstring wanted = FinalFilePath(verdict.Program, verdict.Reason);
  if (wanted.empty()) return verdict;
  for (const std::wstring& allowed : AllowedPrograms) {
    std::wstring ignored;
    if (IsFullPath(allowed) && SamePath(FinalFilePath(allowed, ignored), wanted)) {
      verdict.Allowed = true;
      verdict.ApplicationName = wanted;
      verdict.Reason.clear();
      return verdict;
    }
  }
  verdict.Reason = L"the program is not among AllowedPrograms";
  return verdict;
}

}  // namespace velotarn
