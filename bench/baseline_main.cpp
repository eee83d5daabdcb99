#include <windows.h>

#include <cstdio>
#include <string>

#include "baseline.h"
#include "runtime/exceptions.h"

int wmain(int argc, wchar_t** argv) {
  using namespace velotarn::bench;
  std::wstring mode = argc > 1 ? argv[1] : L"";
  try {
    if (mode == L"relay" && argc >= 4) return RunRelayBaseline(argc, argv);
    if (mode == L"latency" && argc >= 5) return RunLatencyBaseline(argc, argv);
    if (mode == L"records" && argc >= 6) return RunRecordsBaseline(argc, argv);
    if (mode == L"threads" && argc >= 5) return RunIdleThreads(argc, argv);
  } catch (const velotarn::Exception& e) {
    std::fprintf(stderr, "bench_baseline %ls: %ls\n", mode.c_str(), e.Message().c_str());
    return 2;
  }
  std::fprintf(stderr, "usage: bench_baseline relay|latency|records|threads ...\n");
  return 1;
}
