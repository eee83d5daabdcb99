// Installation runs end to end against the SCM of the test prefix: which arguments install,
// uninstall or run the service mode, what is registered, and the boxes a user would see (read
// and closed from this process). The program under test is velotarnsvc.exe when it is built,
// else the same host around a test module; the entry-error cases need the host's test module.
#include <gtest/gtest.h>

#include <windows.h>

#include <future>
#include <string>
#include <vector>

#include "runtime/handles.h"
#include "runtime/text.h"
#include "service/service_config.h"
#include "service_test_support.h"
#include "test_support.h"

using namespace velotarn;
using namespace velotarn::test;

namespace {

std::wstring Program() {
  std::wstring path = ServicePath();
  return path.empty() ? HostPath() : path;
}

std::string Show(const std::vector<BoxSeen>& boxes) {
  std::string out;
  for (const BoxSeen& b : boxes) out += "[" + WideToUtf8(b.caption) + "] " + WideToUtf8(b.text) + "\n";
  return out.empty() ? "(no box)" : out;
}

bool Registered() { return static_cast<bool>(OpenVelotarn()); }

// The run ended with exit code 0 after showing exactly one box, with this caption and text.
void ExpectOneBox(const ProgramRun& run, const wchar_t* caption, const std::wstring& text) {
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_EQ(run.boxes.size(), 1u) << Show(run.boxes);
  EXPECT_EQ(run.boxes[0].caption, caption);
  EXPECT_EQ(run.boxes[0].text, text);
}

std::wstring FailureText(const wchar_t* verb, DWORD code) {
  return Format(L"Service \"Velotarn OpenVPN service\" failed to %ls with error: "
                L"\"System Error.  Code: %lu.\r\n%ls\"",
                verb, code, SystemText(code).c_str());
}

// The message file of the event log source `source`, empty when the source is not registered.
std::wstring MessageFileOf(const std::wstring& source) {
  wchar_t file[1024] = {};
  DWORD size = sizeof file;
  const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"EventMessageFile",
                   RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, file, &size) != ERROR_SUCCESS)
    return {};
  DWORD types = 0, types_size = sizeof types;
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"TypesSupported", RRF_RT_REG_DWORD,
                         nullptr, &types, &types_size),
            ERROR_SUCCESS);
  EXPECT_EQ(types, 7u);
  return file;
}

// Entry `id` with one insertion string, rendered from `file` as Event Viewer renders it.
std::wstring Rendered(const std::wstring& file, DWORD id, const wchar_t* text) {
  unique_hmodule module(LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!module) return L"(cannot load " + file + L")";
  DWORD_PTR args[1] = {reinterpret_cast<DWORD_PTR>(text)};
  wchar_t out[1024] = {};
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                 module.get(), id, 0, out, 1024, reinterpret_cast<va_list*>(args));
  return n ? std::wstring(out, n) : L"(no message " + std::to_wstring(id) + L")";
}

// A copy of a program in a folder of the test's own, removed again afterwards.
class ProgramCopy {
 public:
  ProgramCopy(const std::wstring& source, const std::wstring& folder) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    dir_ = std::wstring(temp) + folder;
    EXPECT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        << WideToUtf8(dir_) << ": " << GetLastError();
    path_ = dir_ + L"\\" + ExtractFileName(source);
    EXPECT_TRUE(CopyFileW(source.c_str(), path_.c_str(), FALSE))
        << WideToUtf8(path_) << ": " << GetLastError();
  }
  ~ProgramCopy() {
    DeleteFileW(path_.c_str());
    RemoveDirectoryW(dir_.c_str());
  }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring dir_, path_;
};

}  // namespace

TEST(Install, EverySpellingOfTheSwitchRegistersTheService) {
  for (const wchar_t* args :
       {L"/install", L"-INSTALL /silent", L"/Install /SILENT", L"/uninstall /install /silent"}) {
    SCOPED_TRACE(WideToUtf8(args));
    CleanServiceSlot slot;
    ProgramRun run = RunProgram(Program(), args);
    EXPECT_EQ(run.exit_code, 0);
    if (std::wstring(args) == L"/install") {
      ASSERT_EQ(run.boxes.size(), 1u) << Show(run.boxes);
      EXPECT_EQ(run.boxes[0].caption, L"Information");
      EXPECT_EQ(run.boxes[0].text, L"Service installed successfully");
    } else {
      EXPECT_TRUE(run.boxes.empty()) << Show(run.boxes);
    }
    unique_schandle service = OpenVelotarn();
    ASSERT_TRUE(service) << "not registered";
    Registration r = QueryRegistration(service.get());
    EXPECT_EQ(r.binary_path, Program());
    EXPECT_EQ(r.display_name, L"Velotarn OpenVPN service");
    EXPECT_EQ(r.service_type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(r.start_type, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(r.error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(r.load_order_group, L"");
    EXPECT_EQ(r.dependencies, L"");
    EXPECT_EQ(r.start_name, L"LocalSystem");
    EXPECT_EQ(QueryStatus(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED))
        << "an install only registers";
    // The description reads back; the recovery actions do where the SCM keeps them (not
    // under Wine 8, which answers ERROR_INVALID_LEVEL).
    union {
      SERVICE_DESCRIPTIONW description;
      SERVICE_FAILURE_ACTIONSW recovery;
      BYTE bytes[8192];
    } info{};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, info.bytes,
                                     sizeof info, &needed))
        << GetLastError();
    EXPECT_STREQ(info.description.lpDescription, kServiceDescription);
    if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, info.bytes,
                             sizeof info, &needed)) {
      EXPECT_EQ(info.recovery.cActions, 3u);
      EXPECT_EQ(info.recovery.dwResetPeriod, 86400u);
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    }
  }
}

// Started from a file manager, a console program would get a console window whose closing ends
// the process without its exit step: velotarnsvc.exe is a GUI-subsystem program (the switches,
// exit codes and log entries the other cases check are the same).
TEST(Install, TheServiceProgramOpensNoConsole) {
  if (ServicePath().empty()) GTEST_SKIP() << "velotarnsvc.exe is not built";
  unique_handle file(CreateFileW(ServicePath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file);
  IMAGE_DOS_HEADER dos{};
  IMAGE_NT_HEADERS64 nt{};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(file.get(), &dos, sizeof(dos), &got, nullptr) && got == sizeof(dos));
  ASSERT_EQ(dos.e_magic, IMAGE_DOS_SIGNATURE);
  SetFilePointer(file.get(), dos.e_lfanew, nullptr, FILE_BEGIN);
  ASSERT_TRUE(ReadFile(file.get(), &nt, sizeof(nt), &got, nullptr) && got == sizeof(nt));
  ASSERT_EQ(nt.Signature, IMAGE_NT_SIGNATURE);
  EXPECT_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST(Install, ArgumentsThatAreNoSwitchesRunTheServiceModeWhichFailsOutsideTheScm) {
  const std::vector<std::wstring> arguments = {L"", L"--install", L"install", L"/install=1",
                                               L"/silent"};
  CleanServiceSlot slot;
  EventLogWatch log;
  // Each run waits about 10 s for the refusal of the SCM: side by side they take one wait.
  std::vector<std::future<ProgramRun>> runs;
  for (const std::wstring& args : arguments)
    runs.push_back(std::async(std::launch::async, [&args] { return RunProgram(Program(), args); }));
  for (size_t n = 0; n < runs.size(); ++n) {
    SCOPED_TRACE(WideToUtf8(arguments[n]));
    ProgramRun run = runs[n].get();
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_TRUE(run.boxes.empty()) << Show(run.boxes);
  }
  EXPECT_FALSE(Registered());
  EXPECT_EQ(log.Entries(), std::vector<std::wstring>(
                               arguments.size(), SystemText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)));
}

TEST(Install, SecondInstallShowsTheFailureWithTheTextFor1073) {
  CleanServiceSlot slot;
  ASSERT_EQ(RunProgram(Program(), L"/install /silent").exit_code, 0);
  // SILENT hides success only.
  ExpectOneBox(RunProgram(Program(), L"/install /silent"), L"Error",
               FailureText(L"install", ERROR_SERVICE_EXISTS));
  EXPECT_TRUE(Registered());
}

TEST(Install, UninstallRemovesTheServiceAndAMissingServiceShowsTheTextFor1060) {
  CleanServiceSlot slot;
  ASSERT_EQ(RunProgram(Program(), L"/install /silent").exit_code, 0);
  // Both event log sources name the program, whose message table shows an entry as its text.
  const std::vector<std::wstring> sources = {ExtractFileName(Program()), L"svVelotarn"};
  for (const std::wstring& source : sources) {
    const std::wstring file = MessageFileOf(source);
    EXPECT_EQ(file, Program()) << WideToUtf8(source);
    EXPECT_EQ(Rendered(file, 0, L"Service controller connect failed"),
              L"Service controller connect failed");
  }
  ExpectOneBox(RunProgram(Program(), L"-UnInstall"), L"Information",
               L"Service uninstalled successfully");
  EXPECT_FALSE(Registered());
  for (const std::wstring& source : sources)
    EXPECT_EQ(MessageFileOf(source), L"") << WideToUtf8(source) << " is still registered";

  // A failure shows no success box after it.
  ExpectOneBox(RunProgram(Program(), L"/uninstall"), L"Error",
               FailureText(L"uninstall", ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST(Install, APathWithABlankIsRegisteredInQuotes) {
  CleanServiceSlot slot;
  ProgramCopy copy(Program(), Format(L"velotarn with blank %lu", GetCurrentProcessId()));
  ProgramRun run = RunProgram(copy.path(), L"/install /silent");
  EXPECT_EQ(run.exit_code, 0) << Show(run.boxes);
  unique_schandle service = OpenVelotarn();
  ASSERT_TRUE(service);
  EXPECT_EQ(QueryRegistration(service.get()).binary_path, L"\"" + copy.path() + L"\"");
}

TEST(EntryErrors, AnEscapedErrorIsBoxedInInstallRunsAndLoggedOtherwiseWithExitCode1) {
  CleanServiceSlot slot;
  auto check_text = [](const std::wstring& text) {
    const std::wstring head = L"Exception Exception in module service_test_host.exe at ";
    const std::wstring tail = L".\r\nentry failed on purpose.\r\n";
    ASSERT_GT(text.size(), head.size() + tail.size()) << WideToUtf8(text);
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    std::wstring address = text.substr(head.size(), text.size() - head.size() - tail.size());
    EXPECT_EQ(address.find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos)
        << WideToUtf8(address);
    EXPECT_NE(address.find_first_not_of(L'0'), std::wstring::npos) << "no raise address";
  };

  ProgramRun run = RunProgram(HostPath(), L"/install failentry");
  EXPECT_EQ(run.exit_code, 1);
  ASSERT_EQ(run.boxes.size(), 1u) << Show(run.boxes);
  EXPECT_EQ(run.boxes[0].caption, L"Application Error");
  check_text(run.boxes[0].text);
  EXPECT_FALSE(Registered()) << "the entry failed before Run";

  // Not an install or uninstall run: nobody could close a box.
  EventLogWatch log;
  run = RunProgram(HostPath(), L"failentry");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(run.boxes.empty()) << Show(run.boxes);
  std::vector<std::wstring> entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  check_text(entries[0]);
}

TEST(EntryErrors, ACreateHandlerErrorIsBoxedInInstallRunsAndLoggedOtherwise) {
  CleanServiceSlot slot;
  ProgramRun run = RunProgram(HostPath(), L"/install /silent failcreate");
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_EQ(run.boxes.size(), 1u) << Show(run.boxes);
  EXPECT_EQ(run.boxes[0].caption, L"service_test_host");  // the application title
  EXPECT_EQ(run.boxes[0].text, L"create handler failed on purpose.");
  EXPECT_TRUE(Registered()) << "construction carries on after the error";

  EventLogWatch log;
  run = RunProgram(HostPath(), L"failcreate");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(run.boxes.empty()) << Show(run.boxes);
  EXPECT_EQ(log.Entries(),
            (std::vector<std::wstring>{L"create handler failed on purpose",
                                       SystemText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)}));
}
