#pragma once
// CPU time and memory of another process, read the ways that give true figures under Wine.
//
// Under Wine, GetProcessTimes and GetProcessMemoryInfo(...).PrivateUsage called on another
// process report the caller's own CPU time and 0. What works: the per-thread times of the
// target (Toolhelp thread list + GetThreadTimes), its PagefileUsage, and the Linux side: the
// /proc/<pid>/stat CPU time and /proc/<pid>/status resident memory of the Wine process that
// hosts the program (read through Wine's Z: drive). Every figure is reported side by side;
// the Linux CPU time is the one that counts, being the whole process as the kernel sees it.
//
// Threading: plain functions and values, used on one thread.

#include <windows.h>

#include <cmath>
#include <string>

namespace velotarn::bench {

// Cumulative CPU times in milliseconds; NAN where a source gave nothing.
struct TCpuSample {
  double linux_ms = NAN;       // utime + stime of the Wine process (10 ms resolution)
  double linux_run_ms = NAN;   // run time of its threads alive now (schedstat, ns resolution)
  double threads_ms = NAN;     // sum of GetThreadTimes over the threads alive now
  double process_ms = NAN;     // GetProcessTimes (unreliable under Wine, shown for comparison)
  double wineserver_ms = NAN;  // utime + stime of this prefix's wineserver
};

struct TMemorySample {
  double pagefile_kib = NAN;  // PROCESS_MEMORY_COUNTERS.PagefileUsage
  double rss_kib = NAN;       // VmRSS of the Wine process
};

// The newest Linux process of this Wine prefix whose program (first command-line word, or
// kernel name) is `image_name`, e.g. L"velotarnsvc.exe"; -1 when none is found. Under plain
// Windows there is no Z:\proc and the result is -1.
int FindLinuxPid(const std::wstring& image_name);
// This prefix's wineserver, or -1.
int FindWineserverPid();

class TProcessProbe {
 public:
  // `process` needs PROCESS_QUERY_INFORMATION | PROCESS_VM_READ access.
  TProcessProbe(HANDLE process, DWORD pid, const std::wstring& image_name);
  int LinuxPid() const noexcept { return linux_pid_; }
  TCpuSample Cpu() const;
  TMemorySample Memory() const;

 private:
  HANDLE process_;
  DWORD pid_;
  int linux_pid_;
  int wineserver_pid_;
};

// b - a, field by field.
TCpuSample operator-(const TCpuSample& b, const TCpuSample& a);
TMemorySample operator-(const TMemorySample& b, const TMemorySample& a);

}  // namespace velotarn::bench
