#include "proc_stats.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/handles.h"
#include "runtime/text.h"

namespace velotarn::bench {

namespace {
// /proc/<pid>/stat counts in USER_HZ ticks, which Linux fixes at 100 a second.
constexpr double kMsPerClockTick = 10.0;

double FileTimeMs(const FILETIME& t) {
  ULARGE_INTEGER v;
  v.LowPart = t.dwLowDateTime;
  v.HighPart = t.dwHighDateTime;
  return static_cast<double>(v.QuadPart) / 10000.0;
}

// A directory search handle, closed with FindClose.
struct FindTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(Handle h) noexcept { ::FindClose(h); }
};

// Reads a whole file of the Linux side; procfs files report no size, so read to the end.
bool ReadLinuxFile(const std::string& unix_path, std::string& out) {
  std::wstring path = L"Z:" + AnsiToWide(unix_path);
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  unique_handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  out.clear();
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) out.append(chunk, got);
  return !out.empty();
}

std::string OurPrefix() {
  wchar_t buffer[1024];
  DWORD n = GetEnvironmentVariableW(L"WINEPREFIX", buffer, 1024);
  return n > 0 && n < 1024 ? WideToAnsi(std::wstring_view(buffer, n)) : std::string();
}

bool InOurPrefix(int pid, const std::string& prefix) {
  if (prefix.empty()) return true;  // a default prefix: nothing to tell prefixes apart by
  std::string env_block;
  if (!ReadLinuxFile("/proc/" + std::to_string(pid) + "/environ", env_block)) return false;
  const std::string wanted = "WINEPREFIX=" + prefix;
  for (size_t at = 0; at < env_block.size();) {
    size_t end = env_block.find('\0', at);
    if (end == std::string::npos) end = env_block.size();
    if (env_block.compare(at, end - at, wanted) == 0) return true;
    at = end + 1;
  }
  return false;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Fields of /proc/<pid>/stat after the parenthesised name: index 0 is the state (field 3).
std::vector<std::string> StatFields(int pid) {
  std::string stat;
  std::vector<std::string> fields;
  if (!ReadLinuxFile("/proc/" + std::to_string(pid) + "/stat", stat)) return fields;
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return fields;
  size_t at = close + 1;
  while (at < stat.size()) {
    size_t start = stat.find_first_not_of(' ', at);
    if (start == std::string::npos) break;
    size_t end = stat.find(' ', start);
    fields.push_back(stat.substr(start, end - start));
    at = end == std::string::npos ? stat.size() : end;
  }
  return fields;
}

// `matches(comm, program)` decides; the newest match (latest start time) wins.
template <class Match>
int FindNewest(Match matches) {
  const std::string prefix = OurPrefix();
  WIN32_FIND_DATAW entry;
  UniqueHandle<FindTraits> find(FindFirstFileW(L"Z:\\proc\\*", &entry));
  if (!find) return -1;
  int best = -1;
  unsigned long long best_start = 0;
  do {
    wchar_t* end = nullptr;
    long pid = std::wcstol(entry.cFileName, &end, 10);
    if (pid <= 0 || *end != 0) continue;
    std::string base = "/proc/" + std::to_string(pid);
    std::string comm, cmdline;
    ReadLinuxFile(base + "/comm", comm);
    ReadLinuxFile(base + "/cmdline", cmdline);
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    std::string program = cmdline.substr(0, cmdline.find('\0'));
    program = program.substr(program.find_last_of("\\/") + 1);
    if (!matches(Lower(comm), Lower(program)) || !InOurPrefix(static_cast<int>(pid), prefix))
      continue;
    std::vector<std::string> fields = StatFields(static_cast<int>(pid));
    unsigned long long start = fields.size() > 19 ? std::strtoull(fields[19].c_str(), nullptr, 10) : 0;
    if (best < 0 || start >= best_start) {
      best = static_cast<int>(pid);
      best_start = start;
    }
  } while (FindNextFileW(find.get(), &entry));
  return best;
}

double LinuxCpuMs(int pid) {
  if (pid < 0) return NAN;
  std::vector<std::string> fields = StatFields(pid);
  if (fields.size() < 13) return NAN;
  // utime and stime are fields 14 and 15 of the line, here 11 and 12.
  return (std::strtod(fields[11].c_str(), nullptr) + std::strtod(fields[12].c_str(), nullptr)) *
         kMsPerClockTick;
}
// The time on a CPU of every thread alive now, from each task's schedstat (nanoseconds).
double LinuxRunMs(int pid) {
  if (pid < 0) return NAN;
  std::wstring pattern = L"Z:\\proc\\" + std::to_wstring(pid) + L"\\task\\*";
  WIN32_FIND_DATAW entry;
  UniqueHandle<FindTraits> find(FindFirstFileW(pattern.c_str(), &entry));
  if (!find) return NAN;
  double sum = 0;
  bool any = false;
  do {
    if (entry.cFileName[0] < L'0' || entry.cFileName[0] > L'9') continue;
    std::string schedstat;
    if (!ReadLinuxFile("/proc/" + std::to_string(pid) + "/task/" +
                           WideToAnsi(entry.cFileName) + "/schedstat",
                       schedstat))
      continue;
    sum += std::strtod(schedstat.c_str(), nullptr) / 1e6;
    any = true;
  } while (FindNextFileW(find.get(), &entry));
  return any ? sum : NAN;
}
}  // namespace

int FindLinuxPid(const std::wstring& image_name) {
  std::string wanted = Lower(WideToAnsi(image_name));
  // The kernel keeps at most 15 characters of a program's name.
  std::string wanted_comm = wanted.substr(0, 15);
  return FindNewest([&](const std::string& comm, const std::string& program) {
    return program == wanted || comm == wanted_comm;
  });
}

int FindWineserverPid() {
  return FindNewest([](const std::string& comm, const std::string&) {
    return comm == "wineserver" || comm == "wineserver64";
  });
}

TProcessProbe::TProcessProbe(HANDLE process, DWORD pid, const std::wstring& image_name)
    : process_(process),
      pid_(pid),
      linux_pid_(FindLinuxPid(image_name)),
      wineserver_pid_(FindWineserverPid()) {}

TCpuSample TProcessProbe::Cpu() const {
  TCpuSample sample;
  sample.linux_ms = LinuxCpuMs(linux_pid_);
  sample.linux_run_ms = LinuxRunMs(linux_pid_);
  sample.wineserver_ms = LinuxCpuMs(wineserver_pid_);
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(process_, &created, &exited, &kernel, &user))
    sample.process_ms = FileTimeMs(kernel) + FileTimeMs(user);
  unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (snapshot) {
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    double sum = 0;
    for (BOOL ok = Thread32First(snapshot.get(), &entry); ok;
         ok = Thread32Next(snapshot.get(), &entry)) {
      if (entry.th32OwnerProcessID != pid_) continue;
      unique_handle thread(OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID));
      if (thread && GetThreadTimes(thread.get(), &created, &exited, &kernel, &user))
        sum += FileTimeMs(kernel) + FileTimeMs(user);
    }
    sample.threads_ms = sum;
  }
  return sample;
}

TMemorySample TProcessProbe::Memory() const {
  TMemorySample sample;
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (GetProcessMemoryInfo(process_, &counters, sizeof(counters)))
    sample.pagefile_kib = static_cast<double>(counters.PagefileUsage) / 1024.0;
  std::string status;
  if (linux_pid_ >= 0 &&
      ReadLinuxFile("/proc/" + std::to_string(linux_pid_) + "/status", status)) {
    size_t at = status.find("VmRSS:");
    if (at != std::string::npos) sample.rss_kib = std::strtod(status.c_str() + at + 6, nullptr);
  }
  return sample;
}

TCpuSample operator-(const TCpuSample& b, const TCpuSample& a) {
  return {b.linux_ms - a.linux_ms, b.linux_run_ms - a.linux_run_ms, b.threads_ms - a.threads_ms,
          b.process_ms - a.process_ms, b.wineserver_ms - a.wineserver_ms};
}

TMemorySample operator-(const TMemorySample& b, const TMemorySample& a) {
  return {b.pagefile_kib - a.pagefile_kib, b.rss_kib - a.rss_kib};
}

}  // namespace velotarn::bench
