// bench_writer.exe: the child whose output is relayed.
//   bench_writer.exe lines <n> [<bytes>]  n lines of <bytes> (default 100) + CR LF, as fast
//                                         as the pipe takes them (see WriterLine)
//   bench_writer.exe paced <n>            n lines, one every 20 ms, each holding the
//                                         QueryPerformanceCounter value at the moment it is
//                                         written
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_util.h"
#include "runtime/handles.h"

namespace {
using velotarn::unique_handle;

constexpr int kDefaultLineBytes = 100;
constexpr DWORD kChunkBytes = 64 * 1024;

bool WriteAll(HANDLE out, const char* data, DWORD count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(out, data, count, &written, nullptr)) return false;
    data += written;
    count -= written;
  }
  return true;
}

int WriteLines(HANDLE out, long n, int bytes) {
  std::string chunk;
  chunk.reserve(kChunkBytes + static_cast<size_t>(bytes) + 2);
  for (long i = 0; i < n; ++i) {
    chunk += velotarn::bench::WriterLine(i, bytes);
    chunk += "\r\n";
    if (chunk.size() >= kChunkBytes || i + 1 == n) {
      if (!WriteAll(out, chunk.data(), static_cast<DWORD>(chunk.size()))) return 2;
      chunk.clear();
    }
  }
  return 0;
}

int WritePaced(HANDLE out, long n) {
  unique_handle timer(CreateWaitableTimerW(nullptr, FALSE, nullptr));
  LARGE_INTEGER first;
  first.QuadPart = -20 * 10000LL;  // 20 ms from now, then every 20 ms
  if (!timer || !SetWaitableTimer(timer.get(), &first, 20, nullptr, nullptr, FALSE)) return 3;
  for (long i = 0; i < n; ++i) {
    if (WaitForSingleObject(timer.get(), 5000) != WAIT_OBJECT_0) return 4;
    char line[64];
    int len = std::snprintf(line, sizeof line, "T%lld\r\n",
                            static_cast<long long>(velotarn::bench::QpcNow()));
    if (!WriteAll(out, line, static_cast<DWORD>(len))) return 2;
  }
  return 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_writer lines <n> [<bytes>] | paced <n>\n");
    return 1;
  }
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  long n = std::wcstol(argv[2], nullptr, 10);
  std::wstring mode = argv[1];
  if (mode == L"lines") {
    int bytes = argc > 3 ? std::max(1, _wtoi(argv[3])) : kDefaultLineBytes;
    return WriteLines(out, n, bytes);
  }
  if (mode == L"paced") return WritePaced(out, n);
  return 1;
}
