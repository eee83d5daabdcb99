#pragma once
// Shared by the package tests: the packages under test, Windows Installer runs of the test
// prefix, and what an installation leaves on the machine (products, files, the service's
// processes and Parameters values).
//
// Threading: plain functions and values, used by the test's main thread.

#include <windows.h>

#include <string>
#include <vector>

#include "service_test_support.h"

namespace velotarn::test {

// This build's package (velotarnsvc-<version>-x64.msi) and the same programs packaged under the
// next version; empty when they were not built.
std::wstring PackagePath();
std::wstring NextPackagePath();
std::wstring PackageVersion();
std::wstring NextPackageVersion();

struct TMsiRun {
  int exit_code = -1;          // -1: msiexec did not end in time (it was then terminated)
  std::vector<BoxSeen> boxes;  // message boxes of any process meanwhile, closed with OK
  std::string log;             // the installation log
};
// Runs "msiexec.exe <args> /qn" with a verbose log, at most `timeout_ms`. A custom action that
// waits behind a message box would hang an unattended installation: every box any process
// shows meanwhile is read, closed and reported in `boxes`.
TMsiRun Msiexec(const std::wstring& args, DWORD timeout_ms = 180000);
// The exit code, the boxes and the end of the log, for failure messages.
std::string Describe(const TMsiRun& run);
// `path` in double quotes, as one argument of msiexec's command line.
std::wstring Quoted(const std::wstring& path);

// [ProgramFiles64Folder]Velotarn, where the package installs its files.
std::wstring InstallDir();
bool FileExists(const std::wstring& path);

// The installed products of the package (its entries in the list of installed programs), and
// a product's version.
std::vector<std::wstring> InstalledProducts();
std::wstring InstalledVersion(const std::wstring& product_code);

// The process ids of every velotarnsvc.exe of the prefix.
std::vector<DWORD> ServiceProcesses();
// The process of the running svVelotarn, opened for waiting; an empty owner when there is none.
unique_handle ServiceProcess();

// Values of HKLM\SYSTEM\CurrentControlSet\Services\svVelotarn\Parameters (64-bit view).
struct TRegistryValue {
  bool found = false;
  DWORD type = REG_NONE;
  std::vector<std::wstring> strings;  // REG_MULTI_SZ: each entry
  DWORD number = 0;                   // REG_DWORD
};
TRegistryValue ReadParameter(const std::wstring& name);

// Makes sure that the package is not installed, on construction and again on destruction:
// every product of it is uninstalled, then what a failed run may have left (the
// service's registration, the files) is removed, so that every test starts and leaves the
// prefix clean, also when it fails.
class TPackageSlot {
 public:
  TPackageSlot() { Clear(); }
  ~TPackageSlot() { Clear(); }
  TPackageSlot(const TPackageSlot&) = delete;
  TPackageSlot& operator=(const TPackageSlot&) = delete;
  static void Clear();
};

}  // namespace velotarn::test
