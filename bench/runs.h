#pragma once
// Single measurement runs of the driver. Each starts what it needs, measures once, and leaves
// nothing running; failures raise an Exception that says what went wrong.
//
// Threading: the driver's one thread.

#include <windows.h>

#include <string>
#include <vector>

#include "bench_util.h"
#include "proc_stats.h"

namespace velotarn::bench {

// Where a relay run sends its "connect" request: a pipe and the process serving it, with a
// probe of that process's CPU time when one is wanted.
struct TRelayTarget {
  std::wstring pipe;
  HANDLE server;
  const TProcessProbe* probe = nullptr;
};

// The programs next to the driver.
std::wstring WriterPath();
std::wstring BaselinePath();
std::wstring PipeHostPath();

// A baseline mode of bench_baseline.exe, started and listening (its ready event fired).
struct TBaselineServer {
  TChild child;
  std::wstring pipe;
};
TBaselineServer StartBaseline(const std::wstring& mode, const std::wstring& extra_args);

// The "connect" request that makes a relay start `command_line`.
std::string ConnectRequest(const std::wstring& command_line);

// Relay throughput: the writer's `lines` lines of `line_bytes` bytes (+ CR LF) through the
// relay, end to end: lines per second from the "connect" request until the client holds every
// record and both end markers, the CPU the relay process and the wineserver used meanwhile,
// and how many lines arrived changed or out of order. The client connects for the run: with
// idle clients of the target connected before, it is the newest one, which the service
// answers.
struct TRelayRun {
  double lines_per_s = 0;
  TCpuSample cpu;
  long damaged = 0;
};
TRelayRun RelayThroughputOnce(const TRelayTarget& target, long lines, int line_bytes);

// Relay latency: per-line delays in microseconds of a paced writer's time-stamped lines. With
// an empty `request` the server sends stamped records by itself (the raw baseline).
std::vector<double> LatencyOnce(const TRelayTarget& target, const std::string& request,
                                long samples);

// Record throughput: records per second from the first client's "go" until every client
// holds all its records. `baseline` picks the raw server, else TPipeServer's host.
double RecordsOnce(bool baseline, int clients, long per_client);
// The client side of one record run against a server that is already listening on `pipe`
// (`server`, when given, is its process).
double RecordClientsOnce(const std::wstring& pipe, HANDLE server, int clients, long per_client);

// Idle clients: `n` connected clients of the target, each with an I/O thread on the server
// side. The last one has sent a request whose reply has come back (so every connection has
// been handed over and serves); `answered` is the index of the client the reply went to.
std::vector<unique_handle> ConnectIdleClients(const TRelayTarget& target, int n, int& answered);

// CPU used by a process over one idle window, after which its memory is sampled.
struct TIdleWindow {
  TCpuSample cpu;
  TMemorySample memory;
};
TIdleWindow IdleWindow(const TProcessProbe& probe, HANDLE process, DWORD window_ms);

// What one idle thread blocked in a wait adds to a process, measured with `n` of them.
TMemorySample ThreadCostOnce(int n);

}  // namespace velotarn::bench
