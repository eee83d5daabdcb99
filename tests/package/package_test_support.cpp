#include "package_test_support.h"

#include <gtest/gtest.h>
#include <msi.h>

#include "names_and_counts.h"
#include "runtime/text.h"
#include "test_support.h"
#include "velotarn_version.h"

namespace velotarn::test {

namespace {

// The package's product name (package/velotarnsvc.wxs), as the list of installed programs shows
// it.
constexpr wchar_t kProductName[] = L"Velotarn OpenVPN service";
constexpr wchar_t kParametersKey[] = L"SYSTEM\\CurrentControlSet\\Services\\svVelotarn\\Parameters";


std::wstring ExistingOrEmpty(const std::wstring& path) {
  wchar_t full[MAX_PATH * 2] = {};
  DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
  if (n == 0 || n >= MAX_PATH * 2) return {};
  return FileExists(full) ? std::wstring(full, n) : std::wstring();
}

std::string ReadLog(const std::wstring& path) {
  unique_handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return "(no log)";
  std::string bytes;
  char buffer[8192];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    bytes.append(buffer, got);
  // A log in UTF-16 starts with its byte-order mark.
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE)
    return WideToUtf8(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2),
                                   (bytes.size() - 2) / sizeof(wchar_t)));
  return bytes;
}

void RemoveLeftFiles() {
  for (const wchar_t* name : {L"velotarnsvc.exe", L"velotarnctl.exe"})
    DeleteFileW((InstallDir() + L"\\" + name).c_str());
  RemoveDirectoryW(InstallDir().c_str());
}

}  // namespace

std::wstring PackageVersion() { return AnsiToWide(VELOTARN_VERSION_TEXT); }
std::wstring NextPackageVersion() { return AnsiToWide(VELOTARN_NEXT_PACKAGE_VERSION); }

std::wstring PackagePath() {
  return ExistingOrEmpty(SelfDir() + L"\\..\\..\\package\\velotarnsvc-" + PackageVersion() +
                         L"-x64.msi");
}

std::wstring NextPackagePath() {
  return ExistingOrEmpty(SelfDir() + L"\\velotarnsvc-" + NextPackageVersion() + L"-x64.msi");
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

TMsiRun Msiexec(const std::wstring& args, DWORD timeout_ms) {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring log = std::wstring(temp) + UniqueName(L"msiexec") + L".log";

  ProgramRun program = RunProgram(std::wstring(system) + L"\\msiexec.exe",
                                  args + L" /qn /l*v " + Quoted(log), timeout_ms, {},
                                  TBoxesOf::AnyProcess);
  TMsiRun run;
  run.exit_code = program.exit_code;
  run.boxes = std::move(program.boxes);
  run.log = ReadLog(log);
  DeleteFileW(log.c_str());
  return run;
}

std::string Describe(const TMsiRun& run) {
  std::string out = "msiexec exit code " + std::to_string(run.exit_code) + "\n";
  for (const BoxSeen& box : run.boxes)
    out += "box [" + WideToUtf8(box.caption) + "] " + WideToUtf8(box.text) + "\n";
  // The log's actions and what the custom actions wrote, without the dump of every property
  // at its end.
  std::string actions;
  size_t pos = 0;
  while (pos < run.log.size()) {
    size_t end = run.log.find('\n', pos);
    if (end == std::string::npos) end = run.log.size();
    if (run.log.compare(pos, 9, "Property(") != 0) actions.append(run.log, pos, end + 1 - pos);
    pos = end + 1;
  }
  constexpr size_t kTail = 6000;
  return out + "log:\n" + (actions.size() > kTail ? actions.substr(actions.size() - kTail) : actions);
}

std::wstring InstallDir() {
  // This test program is 64-bit: its Program Files is the 64-bit one.
  wchar_t folder[MAX_PATH] = {};
  ExpandEnvironmentStringsW(L"%ProgramFiles%", folder, MAX_PATH);
  return std::wstring(folder) + L"\\Velotarn";
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {
std::wstring ProductInfo(const std::wstring& product_code, const wchar_t* property) {
  wchar_t value[256] = {};
  DWORD size = 256;
  if (MsiGetProductInfoW(product_code.c_str(), property, value, &size) != ERROR_SUCCESS) return {};
  return value;
}
}  // namespace

std::vector<std::wstring> InstalledProducts() {
  // By name, not by upgrade code: Wine 8 forgets the upgrade code of the newer product when an
  // upgrade removes the older one.
  std::vector<std::wstring> products;
  wchar_t code[39] = {};
  for (DWORD i = 0; MsiEnumProductsW(i, code) == ERROR_SUCCESS; ++i)
    if (ProductInfo(code, INSTALLPROPERTY_INSTALLEDPRODUCTNAME) == kProductName)
      products.emplace_back(code);
  return products;
}

std::wstring InstalledVersion(const std::wstring& product_code) {
  return ProductInfo(product_code, INSTALLPROPERTY_VERSIONSTRING);
}

std::vector<DWORD> ServiceProcesses() {
  std::vector<DWORD> pids;
  WalkSnapshot(TH32CS_SNAPPROCESS, &Process32FirstW, &Process32NextW,
               [&](const PROCESSENTRY32W& entry) {
                 if (_wcsicmp(entry.szExeFile, L"velotarnsvc.exe") == 0)
                   pids.push_back(entry.th32ProcessID);
               });
  return pids;
}

unique_handle ServiceProcess() {
  unique_schandle service = OpenVelotarn();
  if (!service) return {};
  DWORD pid = QueryStatus(service.get()).dwProcessId;
  if (pid == 0) return {};
  return unique_handle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
}

TRegistryValue ReadParameter(const std::wstring& name) {
  TRegistryValue value;
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                    &opened) != ERROR_SUCCESS)
    return value;
  unique_hkey key(opened);
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type, nullptr, &size) !=
      ERROR_SUCCESS)
    return value;
  std::vector<BYTE> data(size + sizeof(wchar_t) * 2);  // room for missing terminators
  if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type, data.data(), &size) !=
      ERROR_SUCCESS)
    return value;
  value.found = true;
  if (value.type == REG_DWORD && size == sizeof(DWORD)) {
    memcpy(&value.number, data.data(), sizeof(DWORD));
  } else if (value.type == REG_MULTI_SZ) {
    const auto* text = reinterpret_cast<const wchar_t*>(data.data());
    const size_t count = size / sizeof(wchar_t);
    for (size_t i = 0; i < count && text[i] != L'\0'; i += value.strings.back().size() + 1)
      value.strings.emplace_back(text + i);
  }
  return value;
}

void TPackageSlot::Clear() {
  for (const std::wstring& product : InstalledProducts()) {
    TMsiRun run = Msiexec(L"/x " + product);
    EXPECT_EQ(run.exit_code, 0) << "uninstalling " << WideToUtf8(product) << ": "
                                << Describe(run);
  }
  CleanServiceSlot::RemoveService();
  RemoveLeftFiles();
}

}  // namespace velotarn::test
