// The relay baseline: the work of one "connect" run with nothing around it.
#include "baseline.h"
#include "bench_util.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace velotarn::bench {

int RunRelayBaseline(int, wchar_t** argv) {
  unique_handle pipe = ServeOneClient(argv[2], ParseHandleArg(argv[3]));
  std::string request(65536, '\0');
  DWORD got = 0;
  if (!ReadFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &got, nullptr))
    RaiseLastOSError();
  std::vector<std::string> lines = RequestLines(std::string_view(request.data(), got));
  if (lines.size() < 3 || lines[0] != "connect") throw Exception(L"not a connect request");

  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, FALSE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &sa, 0)) RaiseLastOSError();
  unique_handle output(read_end), child_output(write_end);
  if (!SetHandleInformation(child_output.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
    RaiseLastOSError();
  std::wstring directory = AnsiToWide(lines[2]);
  TChild child = StartProcess(AnsiToWide(lines[1]), {child_output.get()}, child_output.get(),
                              directory.c_str());
  child_output.reset();  // the child now holds the only writer: its exit ends our reads

  char chunk[256];
  std::string line;
  DWORD n = 0;
  while (ReadFile(output.get(), chunk, sizeof chunk, &n, nullptr) && n > 0) {
    for (DWORD i = 0; i < n; ++i) {
      line.push_back(chunk[i]);
      if (chunk[i] == '\r') {
        WriteRecord(pipe.get(), line);
        line.clear();
      }
    }
  }
  WriteRecord(pipe.get(), kEndMarker);
  WriteRecord(pipe.get(), kEndMarker);
  WaitExitOrKill(child.Process.get(), 20000);
  WaitClientGone(pipe.get());
  return 0;
}

int RunLatencyBaseline(int, wchar_t** argv) {
  unique_handle pipe = ServeOneClient(argv[2], ParseHandleArg(argv[3]));
  long n = std::wcstol(argv[4], nullptr, 10);
  unique_handle timer(CreateWaitableTimerW(nullptr, FALSE, nullptr));
  LARGE_INTEGER first;
  first.QuadPart = -20 * 10000LL;  // 20 ms from now, then every 20 ms
  if (!timer || !SetWaitableTimer(timer.get(), &first, 20, nullptr, nullptr, FALSE))
    RaiseLastOSError();
  for (long i = 0; i < n; ++i) {
    if (WaitForSingleObject(timer.get(), 5000) != WAIT_OBJECT_0) RaiseLastOSError();
    WriteRecord(pipe.get(), "T" + std::to_string(QpcNow()));
  }
  WriteRecord(pipe.get(), kEndMarker);
  WriteRecord(pipe.get(), kEndMarker);
  WaitClientGone(pipe.get());
  return 0;
}

}  // namespace velotarn::bench
