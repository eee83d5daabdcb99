// The child program of the tests: writes exact bytes chosen by its arguments, one step per
// argument, straight to its standard output or error (no buffering), so that every write
// reaches the reading end as it happens. Built once; copied as openvpn.exe where a test needs
// the image name that "disconnect" ends.
//
// A program of the GUI subsystem that writes to the standard handles it is given: under Wine,
// every console program started without a console (as a service's children are) starts a
// console host process of its own, which no test means to start or measure.
//
// Steps (escapes in texts: \r \n \0 \\ \xHH):
//   out:TEXT          write TEXT to standard output
//   err:TEXT          write TEXT to standard error
//   fill:N:HH         write N bytes of value 0xHH to standard output
//   lines:N:L         write N lines of L bytes ("x" up to CR LF) to standard output
//   seq:N             write N lines "1" CR LF, "2" CR LF, ... "N" CR LF to standard output,
//                     many lines a write
//   spawn:STEPS       start this program again with STEPS (blank-separated) as its arguments,
//                     passing on its standard handles, and go on without waiting for it
//   cwd               write the current directory and CR LF to standard output
//   pid               write the process id and CR to standard output
//   gate:NAME         wait (at most 60 s) until the named event NAME is signalled
//   signal:NAME       signal the named event NAME
//   hang              never end (until terminated)
//   count:TABLE:RUN   count this start in the named table TABLE (a file mapping of 32-bit
//                     counters, one per run number)
//   soak:RUN:N        write N lines "soak RUN i/N" CR LF, each as one write
//   hold:NAME         wait (at most 120 s) until the existing event NAME is set, as a
//                     connection that stays up
//   stream:RUN        write "pid <process id>" CR LF, then "soak RUN i" CR LF for i = 1, 2, ...
//                     until the output can no longer be written; then end with exit code 0
//   exit:N            end with exit code N
//   --service NAME 0  skipped (three arguments): OpenVPN's exit event, which this program
//                     never watches
// Without an exit step the program ends with exit code 0 after its last step.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "runtime/handles.h"

namespace {

std::string Unescape(const wchar_t* text) {
  std::string out;
  for (const wchar_t* p = text; *p; ++p) {
    if (*p != L'\\' || p[1] == 0) {
      out.push_back(static_cast<char>(*p));
      continue;
    }
    ++p;
    switch (*p) {
      case L'r': out.push_back('\r'); break;
      case L'n': out.push_back('\n'); break;
      case L'0': out.push_back('\0'); break;
      case L'x': {
        wchar_t hex[3] = {p[1], p[1] ? p[2] : L'\0', 0};
        out.push_back(static_cast<char>(wcstoul(hex, nullptr, 16)));
        p += 2;
        break;
      }
      default: out.push_back(static_cast<char>(*p)); break;
    }
  }
  return out;
}

bool TryWriteAll(DWORD which, const std::string& bytes) {
  HANDLE h = GetStdHandle(which);
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD n = 0;
    if (!WriteFile(h, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr))
      return false;
    done += n;
  }
  return true;
}

void WriteAll(DWORD which, const std::string& bytes) {
  if (!TryWriteAll(which, bytes)) ExitProcess(90);
}

constexpr int kTableRuns = 10000;  // the size of a count table, in runs

bool CountStart(const std::wstring& table_name, int run) {
  if (run < 0 || run >= kTableRuns) return false;
  velotarn::unique_handle table(OpenFileMappingW(FILE_MAP_WRITE, FALSE, table_name.c_str()));
  if (!table) return false;
  auto* counts = static_cast<LONG*>(MapViewOfFile(table.get(), FILE_MAP_WRITE, 0, 0, 0));
  if (counts == nullptr) return false;
  InterlockedIncrement(&counts[run]);
  UnmapViewOfFile(counts);
  return true;
}

// "A:B" of a step's value, split at its last colon.
std::pair<std::wstring, std::wstring> SplitLast(const std::wstring& value) {
  size_t colon = value.rfind(L':');
  if (colon == std::wstring::npos) return {value, L""};
  return {value.substr(0, colon), value.substr(colon + 1)};
}

bool StartsWith(const std::wstring& s, const wchar_t* prefix) {
  return s.rfind(prefix, 0) == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    std::wstring step = argv[i];
    if (step == L"--service") {
      i += 2;
      continue;
    }
    if (StartsWith(step, L"out:")) {
      WriteAll(STD_OUTPUT_HANDLE, Unescape(step.c_str() + 4));
    } else if (StartsWith(step, L"err:")) {
      WriteAll(STD_ERROR_HANDLE, Unescape(step.c_str() + 4));
    } else if (StartsWith(step, L"fill:")) {
      wchar_t* rest = nullptr;
      unsigned long count = wcstoul(step.c_str() + 5, &rest, 10);
      unsigned long value = wcstoul(rest + 1, nullptr, 16);
      WriteAll(STD_OUTPUT_HANDLE, std::string(count, static_cast<char>(value)));
    } else if (StartsWith(step, L"lines:")) {
      wchar_t* rest = nullptr;
      unsigned long count = wcstoul(step.c_str() + 6, &rest, 10);
      unsigned long length = wcstoul(rest + 1, nullptr, 10);
      if (length < 2) return 93;
      std::string line(length - 2, 'x');
      line += "\r\n";
      std::string block;  // many lines a write: the reader is the one being measured
      for (unsigned long n = 0; n < count; ++n) {
        block += line;
        if (block.size() >= 65536 || n + 1 == count) {
          WriteAll(STD_OUTPUT_HANDLE, block);
          block.clear();
        }
      }
    } else if (StartsWith(step, L"seq:")) {
      const unsigned long count = wcstoul(step.c_str() + 4, nullptr, 10);
      std::string block;
      for (unsigned long n = 1; n <= count; ++n) {
        block += std::to_string(n) + "\r\n";
        if (block.size() >= 65536 || n == count) {
          WriteAll(STD_OUTPUT_HANDLE, block);
          block.clear();
        }
      }
    } else if (StartsWith(step, L"spawn:")) {
      wchar_t self[MAX_PATH + 1] = {};
      GetModuleFileNameW(nullptr, self, MAX_PATH);
      std::wstring command = L"\"" + std::wstring(self) + L"\" " + (step.c_str() + 6);
      STARTUPINFOW si{};
      si.cb = sizeof(si);
      si.dwFlags = STARTF_USESTDHANDLES;
      si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
      si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
      si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
      PROCESS_INFORMATION pi{};
      if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &si, &pi))
        return 94;
      velotarn::unique_handle thread(pi.hThread), process(pi.hProcess);  // not waited for
    } else if (step == L"cwd") {
      wchar_t dir[MAX_PATH + 1] = {};
      GetCurrentDirectoryW(MAX_PATH, dir);
      char bytes[4 * MAX_PATH] = {};
      WideCharToMultiByte(CP_ACP, 0, dir, -1, bytes, sizeof(bytes), nullptr, nullptr);
      WriteAll(STD_OUTPUT_HANDLE, std::string(bytes) + "\r\n");
    } else if (step == L"pid") {
      WriteAll(STD_OUTPUT_HANDLE, std::to_string(GetCurrentProcessId()) + "\r");
    } else if (StartsWith(step, L"gate:")) {
      velotarn::unique_handle event(CreateEventW(nullptr, FALSE, FALSE, step.c_str() + 5));
      if (WaitForSingleObject(event.get(), 60000) != WAIT_OBJECT_0) return 91;
    } else if (StartsWith(step, L"signal:")) {
      velotarn::unique_handle event(CreateEventW(nullptr, FALSE, FALSE, step.c_str() + 7));
      SetEvent(event.get());
    } else if (step == L"hang") {
      WaitForSingleObject(GetCurrentProcess(), INFINITE);  // a process never ends by itself
    } else if (StartsWith(step, L"count:")) {
      auto [table, run] = SplitLast(step.substr(6));
      if (!CountStart(table, _wtoi(run.c_str()))) return 93;
    } else if (StartsWith(step, L"soak:")) {
      auto [run, count] = SplitLast(step.substr(5));
      const std::string prefix = "soak " + std::to_string(_wtoi(run.c_str())) + " ";
      const int lines = _wtoi(count.c_str());
      const std::string of = "/" + std::to_string(lines) + "\r\n";
      for (int i = 1; i <= lines; ++i)
        if (!TryWriteAll(STD_OUTPUT_HANDLE, prefix + std::to_string(i) + of)) return 94;
    } else if (StartsWith(step, L"hold:")) {
      velotarn::unique_handle hold(OpenEventW(SYNCHRONIZE, FALSE, step.c_str() + 5));
      if (!hold) return 95;
      WaitForSingleObject(hold.get(), 120000);
    } else if (StartsWith(step, L"stream:")) {
      const std::string prefix = "soak " + std::to_string(_wtoi(step.c_str() + 7)) + " ";
      if (!TryWriteAll(STD_OUTPUT_HANDLE, "pid " + std::to_string(GetCurrentProcessId()) + "\r\n"))
        return 94;
      for (unsigned long long i = 1;; ++i)
        if (!TryWriteAll(STD_OUTPUT_HANDLE, prefix + std::to_string(i) + "\r\n")) return 0;
    } else if (StartsWith(step, L"exit:")) {
      return _wtoi(step.c_str() + 5);
    } else {
      return 92;
    }
  }
  return 0;
}
