// A child program for the control tests: writes exact bytes chosen by its arguments, one step
// per argument, straight to its standard output or error (no buffering), so that every write
// reaches the reading end as it happens. Also built as openvpn.exe.
//
// Steps (escapes in texts: \r \n \0 \\ \xHH):
//   out:TEXT          write TEXT to standard output
//   err:TEXT          write TEXT to standard error
//   fill:N:HH         write N bytes of value 0xHH to standard output
//   lines:N:L         write N lines of L bytes ("x" up to CR LF) to standard output
//   spawn:STEPS       start this program again with STEPS (blank-separated) as its arguments,
//                     passing on its standard handles, and go on without waiting for it
//   cwd               write the current directory and CR LF to standard output
//   pid               write the process id and CR to standard output
//   gate:NAME         wait (at most 60 s) until the named event NAME is signalled
//   signal:NAME       signal the named event NAME
//   hang              never end (until terminated)
//   exit:N            end with exit code N
// Without an exit step the program ends with exit code 0 after its last step.
#include <windows.h>

#include <cstdlib>
#include <string>

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

void WriteAll(DWORD which, const std::string& bytes) {
  HANDLE h = GetStdHandle(which);
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD n = 0;
    if (!WriteFile(h, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr))
      ExitProcess(90);
    done += n;
  }
}

bool StartsWith(const std::wstring& s, const wchar_t* prefix) {
  return s.rfind(prefix, 0) == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    std::wstring step = argv[i];
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
    } else if (StartsWith(step, L"exit:")) {
      return _wtoi(step.c_str() + 5);
    } else {
      return 92;
    }
  }
  return 0;
}
