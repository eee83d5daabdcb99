#pragma once
// Helpers shared by the benchmark programs: clocks, processes, pipe connections, the 1025-byte
// reply record and simple statistics. Everything here is single-threaded: each function is
// called on the thread that owns the handles it is given.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/handles.h"

namespace velotarn::bench {

// --- clocks -------------------------------------------------------------------------------
// QueryPerformanceCounter ticks. Under Wine (and on Windows) the counter is the same in every
// process of the machine, so a stamp taken in one process can be compared in another.
int64_t QpcNow() noexcept;
double QpcToMicros(int64_t ticks) noexcept;
double QpcSecondsSince(int64_t start) noexcept;

// A deadline for bounded waits: how many milliseconds are left (0 once it has passed).
class TDeadline {
 public:
  explicit TDeadline(DWORD ms) noexcept : end_(GetTickCount64() + ms) {}
  DWORD Left() const noexcept;
  bool Passed() const noexcept { return Left() == 0; }

 private:
  ULONGLONG end_;
};

// --- processes ----------------------------------------------------------------------------
// A started child process. One still running when its owner goes is terminated, so nothing a
// benchmark starts outlives it, whichever way the benchmark ends.
struct TChild {
  TChild() = default;
  TChild(TChild&&) noexcept = default;
  TChild& operator=(TChild&&) noexcept = default;
  ~TChild();

  unique_handle Process;
  DWORD Pid = 0;
};

// Starts `command_line`; only the handles in `inherit` are inherited (a handle list, so that
// concurrent starts never leak one child's handles into another). `std_out`, when given,
// becomes the child's standard output and error; `directory`, when given, its current folder.
TChild StartProcess(const std::wstring& command_line, const std::vector<HANDLE>& inherit = {},
                    HANDLE std_out = nullptr, const wchar_t* directory = nullptr);

// Waits up to `ms` for the process to end and returns its exit code; on time-out the process
// is terminated and -1 returned.
int WaitExitOrKill(HANDLE process, DWORD ms);

// The folder of the running program, with a trailing backslash.
std::wstring ProgramDir();
// A path in double quotes (command lines).
std::wstring Quoted(const std::wstring& path);

// An unnamed event whose handle children may inherit (passed on their command line).
unique_handle NewInheritableEvent();
// Event handles travel on command lines as decimal numbers.
std::wstring HandleArg(HANDLE h);
HANDLE ParseHandleArg(const wchar_t* text);

// --- pipes --------------------------------------------------------------------------------
std::wstring PipePath(const std::wstring& name);

// A unique pipe name for one baseline run.
std::wstring UniquePipeName(const wchar_t* purpose);

// Opens a client end of \\.\pipe\<name> in message read mode, overlapped. A busy pipe is
// waited for with WaitNamedPipeW. A name that does not exist yet (a server still starting its
// listener) has nothing to wait on: the attempt is repeated after a short wait on `server`
// (which also notices a server that died). Raises an Exception after `timeout_ms`.
unique_handle ConnectPipe(const std::wstring& name, DWORD timeout_ms, HANDLE server = nullptr);

// Overlapped I/O on one message-mode pipe handle, each call bounded in time. A message longer
// than `capacity`, a broken pipe or the time-out raise an Exception naming `what`.
class TPipeIo {
 public:
  explicit TPipeIo(HANDLE pipe);
  // Returns the message's length.
  DWORD ReadMessage(void* buffer, DWORD capacity, DWORD timeout_ms, const wchar_t* what);
  void WriteMessage(const void* buffer, DWORD count, DWORD timeout_ms, const wchar_t* what);

 private:
  DWORD Complete(OVERLAPPED& ov, BOOL started, DWORD timeout_ms, const wchar_t* what,
                 const wchar_t* op);
  HANDLE pipe_;
  unique_handle read_event_;
  unique_handle write_event_;
};

// --- records ------------------------------------------------------------------------------
constexpr DWORD kRecordSize = 1025;
constexpr char kEndMarker[] = "#END#";

// A record: the text, a zero byte, zeros up to 1025 bytes (text cut at 1024 bytes).
std::vector<uint8_t> MakeRecord(std::string_view text);
// The text of a received record: its bytes up to the first zero.
std::string_view RecordText(const uint8_t* bytes, DWORD count) noexcept;

// A relayed output line without the LF that starts it and the CR that ends it.
std::string_view TrimLineBreaks(std::string_view line) noexcept;

// The text of line `index` (from 0) of the writer's "lines" mode, `bytes` long, without its
// CR LF: "L<8-digit index> " and a filler up to `bytes` for lines of 10 bytes or more, the
// index's last `bytes` decimal digits for shorter ones. So a receiver can check that every
// line arrived once, in order and whole.
std::string WriterLine(long index, int bytes);

// --- statistics ---------------------------------------------------------------------------
double Median(std::vector<double> values);
// Nearest-rank percentile, p in (0, 100].
double Percentile(std::vector<double> values, double p);

}  // namespace velotarn::bench
