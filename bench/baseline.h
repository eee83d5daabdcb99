#pragma once
// bench_baseline.exe: the minimal programs that our figures are compared with, one per mode.
// Each is single-threaded (apart from the idle threads it is asked to start), has no
// components and no main-thread calls: the plain Win32 floor of the same work.
//
//   relay <pipe> <ready>                 serve one client: read its "connect" request, start
//                                        the command line, relay each CR-terminated line of
//                                        its output (256-byte reads) as one 1025-byte record,
//                                        then "#END#" twice
//   latency <pipe> <ready> <n>           serve one client: n time-stamped records, one every
//                                        20 ms, then "#END#" twice
//   records <pipe> <ready> <clients> <n> serve `clients` clients: on the first client's "go"
//                                        message, n records to every client with overlapped
//                                        WriteFile, one outstanding per connection
//   threads <n> <ready> <go>             an idle-thread probe: ready; on go start n threads
//                                        that block in a wait; ready; on go end them and exit
//
// <ready> and <go> are inherited event handles. A baseline signals <ready> once its pipe
// instances exist, so the client never has to retry.

namespace velotarn::bench {

int RunRelayBaseline(int argc, wchar_t** argv);
int RunLatencyBaseline(int argc, wchar_t** argv);
int RunRecordsBaseline(int argc, wchar_t** argv);
int RunIdleThreads(int argc, wchar_t** argv);

}  // namespace velotarn::bench

// Shared by the single-client baselines.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "runtime/handles.h"

namespace velotarn::bench {

// Creates the one instance of \\.\pipe\<name> (message mode, synchronous I/O, the buffer sizes
// the service uses), signals `ready` and waits for the client.
unique_handle ServeOneClient(const wchar_t* name, HANDLE ready);
// Writes `text` as one 1025-byte record (blocking).
void WriteRecord(HANDLE pipe, std::string_view text);
// Blocks until the client has closed its end.
void WaitClientGone(HANDLE pipe);
// A request's lines: cut at CR, LF and CR LF.
std::vector<std::string> RequestLines(std::string_view text);

}  // namespace velotarn::bench
