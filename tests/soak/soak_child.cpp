// The child program of the soak tests, started by the service for "connect" requests. Also
// built as openvpn.exe, the image name that "disconnect" ends.
//
//   soak_child run TABLE RUN LINES [HOLD]
//       Counts its start in the named table TABLE (a file mapping of 32-bit counters, one per
//       run number); writes LINES lines "soak RUN i/LINES" CR LF to standard output; then,
//       when HOLD names an event, waits for it (at most 120 s) before it ends. Exit code 0.
//   soak_child stream RUN
//       Writes "pid <process id>" CR LF, then "soak RUN i" CR LF for i = 1, 2, ... for as long
//       as its output can be written: it ends only when terminated or when the reader is gone.
//
// Every line is one unbuffered write, so it reaches the reader as it happens.
//
// A program of the GUI subsystem that writes to the standard handles it is given: under Wine,
// every console program started without a console (as a service's children are) starts a
// console host process of its own, which the soak does not mean to measure.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "runtime/handles.h"

namespace {

constexpr int kTableRuns = 10000;  // the size of the table, in runs

bool WriteLine(const std::string& line) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  size_t done = 0;
  while (done < line.size()) {
    DWORD n = 0;
    if (!WriteFile(out, line.data() + done, static_cast<DWORD>(line.size() - done), &n, nullptr))
      return false;
    done += n;
  }
  return true;
}

bool CountStart(const wchar_t* table_name, int run) {
  if (run < 0 || run >= kTableRuns) return false;
  velotarn::unique_handle table(OpenFileMappingW(FILE_MAP_WRITE, FALSE, table_name));
  if (!table) return false;
  auto* counts = static_cast<LONG*>(MapViewOfFile(table.get(), FILE_MAP_WRITE, 0, 0, 0));
  if (counts == nullptr) return false;
  InterlockedIncrement(&counts[run]);
  UnmapViewOfFile(counts);
  return true;
}

int Run(int argc, wchar_t** argv) {
  if (argc < 5) return 92;
  const int run_number = _wtoi(argv[3]);
  if (!CountStart(argv[2], run_number)) return 93;
  const std::string run = std::to_string(run_number);
  const int lines = _wtoi(argv[4]);
  const std::string of = "/" + std::to_string(lines) + "\r\n";
  for (int i = 1; i <= lines; ++i) {
    if (!WriteLine("soak " + run + " " + std::to_string(i) + of)) return 94;
  }
  if (argc > 5) {
    velotarn::unique_handle hold(OpenEventW(SYNCHRONIZE, FALSE, argv[5]));
    if (!hold) return 95;
    WaitForSingleObject(hold.get(), 120000);  // held like a connection that stays up
  }
  return 0;
}

int Stream(int argc, wchar_t** argv) {
  if (argc < 3) return 92;
  const std::string run = std::to_string(_wtoi(argv[2]));
  if (!WriteLine("pid " + std::to_string(GetCurrentProcessId()) + "\r\n")) return 94;
  for (unsigned long long i = 1;; ++i) {
    if (!WriteLine("soak " + run + " " + std::to_string(i) + "\r\n")) return 0;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 92;
  const std::wstring mode = argv[1];
  if (mode == L"run") return Run(argc, argv);
  if (mode == L"stream") return Stream(argc, argv);
  return 92;
}
