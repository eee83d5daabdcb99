// velotarn_bench.exe: every benchmark, ours and its baseline measured side by side in one run,
// each repeated with the runs of both sides interleaved; medians go into the summary table,
// which is printed and written as JSON.
//
//   velotarn_bench.exe [--service <velotarnsvc.exe>] [--json <file>] [--repeats <n>]
//                      [--lines <n>] [--samples <n>] [--records <n>] [--idle-ms <ms>]
//                      [--only threads,relay,latency,relay100,idle,records,tunnel]
//                      [--budget-s <s>] [--line-bytes <n>]
//                      [--openvpn <openvpn.exe> --ovpn-pki <folder> --ovpn-ports <port>,<port>
//                       --ovpn-log-dir <folder>]
//
// Sections: relay (100-byte and 8-byte lines end to end, one client), latency, idle, relay100
// (the relay rows as the 100th client after 99 idle ones), records, threads, tunnel (the real
// openvpn.exe against the Linux servers that bench.sh starts at those ports, the n-th logging
// to <log folder>\server-<n>.log). --line-bytes 100 or 8 runs the relay rows of that line length
// only (e.g. to trace one of them).
//   velotarn_bench.exe --records-client <pipe> [--clients <n>] [--records <n>]
//                      only the client side of one record run against a server started by
//                      hand (bench_pipe_host.exe or bench_baseline.exe records), e.g. to trace
//                      that server alone
//
// Without --service (the service not built) the rows of ours that need it report n/a.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_service.h"
#include "results.h"
#include "runs.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "tunnel_runs.h"

namespace {
using namespace velotarn;
using namespace velotarn::bench;

constexpr int kIdleClients = 100;
// The relayed line lengths (bytes before CR LF): long lines, and short ones that a single
// 256-byte read of the child's output holds about 25 of.
constexpr int kLineBytes[2] = {100, 8};
constexpr long kLatencyWarmup = 5;  // the first stamped lines also measure the child's start
constexpr int kThreadProbeThreads = 100;
// bench_pipe_host queues all of a client's records at once, and a connection whose queue would
// pass 4 MiB is ended as one whose client stopped reading: 4,000 records of 1025 bytes fit.
constexpr long kMaxHostRecords = 4000;

struct TOptions {
  std::wstring service;
  std::wstring json;
  int repeats = 3;
  long lines = 20000;
  int line_bytes = 0;  // 0: every length of kLineBytes
  long samples = 150;
  long records = 10000;
  DWORD idle_ms = 10000;
  std::wstring only;  // comma-separated sections; empty: all
  std::wstring records_client;
  int clients = 1;
  TTunnelBed tunnel;
  // Seconds after which no further repetitions start (every benchmark still runs once, and
  // each section gets its share, see TSectionClock), and after which whole sections are
  // skipped, so that the table is printed within the time the driver is given (bench.sh
  // gives it 720 s).
  int budget_s = 500;
  int hard_budget_s = 580;

  bool Runs(const wchar_t* section) const {
    return only.empty() || (L"," + only + L",").find(L"," + std::wstring(section) + L",") !=
                               std::wstring::npos;
  }
  double Per10s() const { return 10000.0 / idle_ms; }
};

// "20001,20002" and the servers' log folder: one server per port, numbered from 1.
std::vector<TTunnelServer> TunnelServers(const std::wstring& ports, const std::wstring& log_dir) {
  std::vector<TTunnelServer> servers;
  for (size_t at = 0; at < ports.size();) {
    size_t comma = std::min(ports.find(L',', at), ports.size());
    std::wstring port = ports.substr(at, comma - at);
    std::wstring log = log_dir + Format(L"\\server-%zu.log", servers.size() + 1);
    if (!port.empty()) servers.push_back({port, test::TServerLog(log)});
    at = comma + 1;
  }
  return servers;
}

TOptions ParseOptions(int argc, wchar_t** argv) {
  TOptions o;
  std::wstring ovpn_ports, ovpn_log_dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::wstring key = argv[i];
    const wchar_t* value = argv[i + 1];
    if (key == L"--service") o.service = value;
    else if (key == L"--json") o.json = value;
    else if (key == L"--repeats") o.repeats = std::max(1, _wtoi(value));
    else if (key == L"--lines") o.lines = std::max(1, _wtoi(value));
    else if (key == L"--line-bytes") o.line_bytes = std::max(1, _wtoi(value));
    else if (key == L"--samples") o.samples = std::max<long>(kLatencyWarmup + 1, _wtoi(value));
    else if (key == L"--records") o.records = std::max(100, _wtoi(value));
    else if (key == L"--idle-ms") o.idle_ms = static_cast<DWORD>(std::max(1000, _wtoi(value)));
    else if (key == L"--only") o.only = value;
    else if (key == L"--records-client") o.records_client = value;
    else if (key == L"--clients") o.clients = std::max(1, _wtoi(value));
    else if (key == L"--openvpn") o.tunnel.openvpn = value;
    else if (key == L"--ovpn-pki") o.tunnel.pki = value;
    else if (key == L"--ovpn-ports") ovpn_ports = value;
    else if (key == L"--ovpn-log-dir") ovpn_log_dir = value;
    else if (key == L"--budget-s") {
      o.budget_s = std::max(10, _wtoi(value));
      o.hard_budget_s = o.budget_s + 80;
    }
  }
  if (!ovpn_log_dir.empty()) o.tunnel.servers = TunnelServers(ovpn_ports, ovpn_log_dir);
  return o;
}

const ULONGLONG g_start = GetTickCount64();
bool g_cut_short = false;

double SecondsSince(ULONGLONG start) {
  return static_cast<double>(GetTickCount64() - start) / 1000.0;
}

// A section's share of the time budget. A further repetition starts only when the section,
// at the pace of its runs so far, would still end within its share; the first starts unless
// the whole run is past its hard budget. So a slow benchmark cannot starve the ones after it.
class TSectionClock {
 public:
  TSectionClock(const TOptions& opt, double share)
      : opt_(opt), start_(GetTickCount64()), share_s_(opt.budget_s * share) {}

  bool MayRun(int run) {
    if (run > opt_.repeats) return false;
    double total = SecondsSince(g_start);
    bool may;
    if (run == 1) {
      may = total < opt_.hard_budget_s;
    } else {
      double spent = SecondsSince(start_);
      may = total < opt_.budget_s && spent + spent / (run - 1) <= share_s_;
    }
    if (!may) g_cut_short = true;
    return may;
  }

 private:
  const TOptions& opt_;
  ULONGLONG start_;
  double share_s_;
};

std::string Utf8(const std::wstring& text) { return WideToUtf8(text); }

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Join(std::initializer_list<std::string> parts) {
  std::string out;
  for (const std::string& p : parts) {
    if (p.empty()) continue;
    if (!out.empty()) out += "; ";
    out += p;
  }
  return out;
}

std::string Fig(const char* format, double v) {
  char text[128];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

// Figures of one side of one benchmark over its repetitions, and the first thing that failed.
struct TSide {
  std::vector<double> values;
  std::map<int, double> by_run;
  std::string problems;

  // Runs `measure` once; a failure is remembered, not raised.
  void Try(const char* label, int run, const std::function<double()>& measure) {
    try {
      Put(label, run, measure());
    } catch (const Exception& e) {
      std::string text = Utf8(e.Message());
      for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
      Say("  %-34s run %d: failed: %s", label, run, text.c_str());
      if (problems.empty()) problems = std::string(label) + ": " + text;
    }
  }
  void Put(const char* label, int run, double v) {
    values.push_back(v);
    by_run[run] = v;
    Say("  %-34s run %d: %.2f", label, run, v);
  }
  double Median() const { return bench::Median(values); }
};

// Ours / baseline of every run where both sides were measured, back to back.
std::vector<double> PairedRatios(const TSide& ours, const TSide& base) {
  std::vector<double> ratios;
  for (const auto& [run, v] : ours.by_run) {
    auto it = base.by_run.find(run);
    if (it != base.by_run.end() && it->second > 0) ratios.push_back(v / it->second);
  }
  return ratios;
}

// One relay throughput row: lines of one length, ours and the baseline relay in pairs, with
// the CPU each side used per line (microseconds).
struct TRelayRow {
  int line_bytes = 0;
  TSide ours, base;
  TSide cpu_ours, cpu_base, server_ours, server_base;
  long damaged = 0;
};

// Everything the sections measure; turned into rows at the end.
struct TFigures {
  TSide thread_pagefile, thread_rss;
  std::string service_problem;
  TRelayRow relay[2][2];  // [one client, the 100th client][line length, as kLineBytes]
  TSide p50_ours, p50_base, p99_ours, p99_base;
  TSide idle0, idle100;
  std::vector<TIdleWindow> windows0, windows100;
  std::string probe_note;
  TSide records_ours[2], records_base[2];  // 1 client, kIdleClients clients
  TSide up_ours, up_base, end_ours, end_base, markers_ours;
  std::string tunnel_problem;
};

void MeasureThreadCost(const TOptions& opt, TFigures& f) {
  Say("== idle thread cost (%d threads)", kThreadProbeThreads);
  TSectionClock clock(opt, 0.05);
  for (int run = 1; clock.MayRun(run); ++run) {
    TMemorySample cost;
    f.thread_pagefile.Try("thread PagefileUsage KiB", run, [&] {
      cost = ThreadCostOnce(kThreadProbeThreads);
      return cost.pagefile_kib;
    });
    if (!std::isnan(cost.rss_kib)) f.thread_rss.values.push_back(cost.rss_kib);
  }
}

// `ours` is null when the service is not running: the baseline is measured all the same.
// Each run measures every line length on both sides, back to back.
void MeasureRelay(const TOptions& opt, const TRelayTarget* ours, const char* who, double share,
                  TRelayRow (&rows)[2]) {
  Say("== relay throughput, %s: %ld lines of %d and of %d bytes", who, opt.lines,
      kLineBytes[0], kLineBytes[1]);
  // CPU per line, in microseconds, of the relay process and of the wineserver.
  auto per_line = [&](const TRelayRun& r, int run, TSide& relay, TSide& server) {
    relay.by_run[run] = r.cpu.linux_ms * 1000.0 / opt.lines;
    relay.values.push_back(relay.by_run[run]);
    server.by_run[run] = r.cpu.wineserver_ms * 1000.0 / opt.lines;
    server.values.push_back(server.by_run[run]);
    Say("    relay process %.0f us CPU per line (schedstat %.0f us, GetThreadTimes %.0f us), "
        "wineserver %.0f us",
        relay.by_run[run], r.cpu.linux_run_ms * 1000.0 / opt.lines,
        r.cpu.threads_ms * 1000.0 / opt.lines, server.by_run[run]);
  };
  TSectionClock clock(opt, share);
  for (int run = 1; clock.MayRun(run); ++run) {
    for (TRelayRow& row : rows) {
      if (opt.line_bytes != 0 && row.line_bytes != opt.line_bytes) continue;
      const std::string ours_label = Fig("ours lines/s, %.0f-byte lines", row.line_bytes);
      const std::string base_label = Fig("baseline lines/s, %.0f-byte lines", row.line_bytes);
      if (ours != nullptr)
        row.ours.Try(ours_label.c_str(), run, [&] {
          TRelayRun r = RelayThroughputOnce(*ours, opt.lines, row.line_bytes);
          row.damaged += r.damaged;
          per_line(r, run, row.cpu_ours, row.server_ours);
          return r.lines_per_s;
        });
      row.base.Try(base_label.c_str(), run, [&] {
        TBaselineServer b = StartBaseline(L"relay", L"");
        TProcessProbe probe(b.child.Process.get(), b.child.Pid, L"bench_baseline.exe");
        TRelayRun r =
            RelayThroughputOnce({b.pipe, b.child.Process.get(), &probe}, opt.lines, row.line_bytes);
        WaitExitOrKill(b.child.Process.get(), 30000);
        per_line(r, run, row.cpu_base, row.server_base);
        return r.lines_per_s;
      });
    }
  }
}

// The relay rows again, the client being the 100th after 99 idle ones that stay connected.
void MeasureRelayAfterIdle(const TOptions& opt, const TRelayTarget& ours, TRelayRow (&rows)[2]) {
  std::vector<unique_handle> idle;
  try {
    int answered = -1;
    idle = ConnectIdleClients(ours, kIdleClients - 1, answered);
    Say("  %d idle clients connected", kIdleClients - 1);
  } catch (const Exception& e) {
    std::string problem = "connecting idle clients: " + Utf8(e.Message());
    Say("  %s", problem.c_str());
    for (TRelayRow& row : rows) row.ours.problems = problem;
  }
  MeasureRelay(opt, idle.empty() ? nullptr : &ours, "the 100th client after 99 idle ones", 0.25,
               rows);
}

void MeasureLatency(const TOptions& opt, const TRelayTarget* ours, TFigures& f) {
  Say("== relay latency: %ld lines, one every 20 ms", opt.samples);
  auto latency = [&](TSide& p50, TSide& p99, const char* label, int run,
                     const std::function<std::vector<double>()>& measure) {
    std::vector<double> delays;
    p50.Try(label, run, [&] {
      delays = measure();
      delays.erase(delays.begin(), delays.begin() + kLatencyWarmup);
      return Percentile(delays, 50);
    });
    if (!delays.empty()) {
      p99.values.push_back(Percentile(delays, 99));
      p99.by_run[run] = p99.values.back();
      Say("  %-34s run %d: p99 %.0f us", label, run, p99.values.back());
    }
  };
  TSectionClock clock(opt, 0.06);
  for (int run = 1; clock.MayRun(run); ++run) {
    if (ours != nullptr)
      latency(f.p50_ours, f.p99_ours, "ours p50 us", run, [&] {
        std::wstring writer = Quoted(WriterPath()) + Format(L" paced %ld", opt.samples);
        return LatencyOnce(*ours, ConnectRequest(writer), opt.samples);
      });
    latency(f.p50_base, f.p99_base, "baseline p50 us", run, [&] {
      TBaselineServer b = StartBaseline(L"latency", std::to_wstring(opt.samples));
      std::vector<double> d = LatencyOnce({b.pipe, b.child.Process.get()}, "", opt.samples);
      WaitExitOrKill(b.child.Process.get(), 30000);
      return d;
    });
  }
}

void MeasureIdle(const TOptions& opt, const TRelayTarget& ours, TFigures& f) {
  Say("== idle cost: %lu ms windows", opt.idle_ms);
  const TProcessProbe& probe = *ours.probe;
  if (probe.LinuxPid() < 0) f.probe_note = "no Linux process found: per-thread times used";
  auto window_cpu = [&](std::vector<TIdleWindow>& windows) {
    TIdleWindow w = IdleWindow(probe, ours.server, opt.idle_ms);
    windows.push_back(w);
    Say("    utime+stime %.0f ms, schedstat %.2f ms, threads %.1f ms, GetProcessTimes %.1f ms, "
        "wineserver %.0f ms; PagefileUsage %.0f KiB, RSS %.0f KiB",
        w.cpu.linux_ms, w.cpu.linux_run_ms, w.cpu.threads_ms, w.cpu.process_ms,
        w.cpu.wineserver_ms, w.memory.pagefile_kib, w.memory.rss_kib);
    // The larger Linux figure counts: utime+stime has 10 ms resolution, schedstat misses
    // threads that ended during the window.
    double linux_ms = std::fmax(w.cpu.linux_ms, w.cpu.linux_run_ms);
    return (std::isnan(linux_ms) ? w.cpu.threads_ms : linux_ms) * opt.Per10s();
  };
  TSectionClock clock0(opt, 0.08);
  for (int run = 1; clock0.MayRun(run); ++run)
    f.idle0.Try("idle CPU, 0 clients", run, [&] { return window_cpu(f.windows0); });
  try {
    int answered = -1;
    std::vector<unique_handle> clients = ConnectIdleClients(ours, kIdleClients, answered);
    Say("  %d idle clients connected; the reply to the last one's request went to client %d",
        kIdleClients, answered + 1);
    TSectionClock clock100(opt, 0.08);
    for (int run = 1; clock100.MayRun(run); ++run)
      f.idle100.Try("idle CPU, 100 clients", run, [&] { return window_cpu(f.windows100); });
  } catch (const Exception& e) {
    f.idle100.problems = "connecting idle clients: " + Utf8(e.Message());
    Say("  %s", f.idle100.problems.c_str());
  }
}

// Each run is a pair: one tunnel through the service and one started directly, taking turns at
// going first, each on the next server (bench.sh starts two). So either side meets either
// server and either order, and a server has the other's run to notice its killed client before
// it is used again. `ours` is null when the service is not running: the direct runs go on.
void MeasureTunnel(const TOptions& opt, const TRelayTarget* ours, TFigures& f) {
  const TTunnelBed& bed = opt.tunnel;
  if (bed.openvpn.empty() || bed.pki.empty() || bed.servers.empty()) {
    f.tunnel_problem = "no openvpn.exe and servers given (bench.sh passes them)";
    return;
  }
  Say("== tunnel: openvpn.exe against %zu Linux openvpn servers on 127.0.0.1", bed.servers.size());
  try {
    WarmUpOpenvpn(bed);
  } catch (const Exception& e) {
    f.tunnel_problem = "openvpn.exe --version: " + Utf8(e.Message());
    Say("  %s", f.tunnel_problem.c_str());
    return;
  }
  size_t next_server = 0;
  auto measure = [&](bool through_service, int run) {
    const TTunnelServer& server = bed.servers[next_server++ % bed.servers.size()];
    TTunnelRun r;
    TSide& up = through_service ? f.up_ours : f.up_base;
    const std::string label =
        (through_service ? "ours tunnel up ms, port " : "direct tunnel up ms, port ") +
        Utf8(server.port);
    up.Try(label.c_str(), run, [&] {
      r = through_service ? TunnelThroughServiceOnce(*ours, bed, server)
                          : TunnelDirectOnce(bed, server);
      return r.up_ms;
    });
    if (up.by_run.count(run) == 0) return;
    if (through_service) {
      f.end_ours.Put("ours disconnect to end ms", run, r.end_ms);
      f.markers_ours.Put("ours disconnect to end markers ms", run, r.markers_ms);
    } else {
      f.end_base.Put("direct TerminateProcess to end ms", run, r.end_ms);
    }
  };
  TSectionClock clock(opt, 0.10);
  for (int run = 1; clock.MayRun(run); ++run) {
    const bool ours_first = run % 2 == 1;
    for (bool through_service : {ours_first, !ours_first})
      if (!through_service || ours != nullptr) measure(through_service, run);
  }
}

// The service runs from here to the end of the section; it is stopped and deleted on every path.
void MeasureService(const TOptions& opt, TFigures& f) {
  std::unique_ptr<TBenchService> service;
  if (opt.service.empty()) {
    f.service_problem = "velotarnsvc.exe was not built";
  } else {
    Say("== installing and starting the service");
    try {
      service = std::make_unique<TBenchService>(opt.service);
      Say("  running, process %lu", service->Pid());
    } catch (const Exception& e) {
      f.service_problem = "service: " + Utf8(e.Message());
      Say("  %s", f.service_problem.c_str());
    }
  }
  std::unique_ptr<TProcessProbe> probe;
  if (service)
    probe = std::make_unique<TProcessProbe>(service->Process(), service->Pid(),
                                            ExtractFileName(opt.service));
  const TRelayTarget target{TBenchService::kPipeName, service ? service->Process() : nullptr,
                            probe.get()};
  const TRelayTarget* ours = service ? &target : nullptr;
  for (int i = 0; i < 2; ++i)
    for (int k = 0; k < 2; ++k) f.relay[i][k].line_bytes = kLineBytes[k];
  if (opt.Runs(L"relay")) MeasureRelay(opt, ours, "one client", 0.25, f.relay[0]);
  if (opt.Runs(L"latency")) MeasureLatency(opt, ours, f);
  // Idle clients come after the one-client runs, so that a fault in ending a hundred
  // connections at once cannot spoil them, and the idle windows come before any hundred
  // connections have ended, whose threads' exits would count as idle CPU.
  if (ours != nullptr && opt.Runs(L"idle")) MeasureIdle(opt, target, f);
  if (ours != nullptr && opt.Runs(L"relay100")) MeasureRelayAfterIdle(opt, target, f.relay[1]);
  // Last: an openvpn.exe that a failed run left behind can spoil nothing after it.
  if (opt.Runs(L"tunnel")) MeasureTunnel(opt, ours, f);
  if (service) {
    Say("== stopping and deleting the service");
    std::string problem = Utf8(service->StopAndDelete());
    if (!problem.empty()) f.service_problem = Join({f.service_problem, "service stop: " + problem});
  }
}

void MeasureRecords(const TOptions& opt, TFigures& f) {
  const bool have_host = GetFileAttributesW(PipeHostPath().c_str()) != INVALID_FILE_ATTRIBUTES;
  for (int i = 0; i < 2; ++i) {
    int clients = i == 0 ? 1 : kIdleClients;
    long per_client = std::min(opt.records / clients, kMaxHostRecords);
    Say("== record throughput: %d client(s), %ld records each", clients, per_client);
    TSectionClock clock(opt, 0.10);
    for (int run = 1; clock.MayRun(run); ++run) {
      if (have_host)
        f.records_ours[i].Try("ours records/s", run,
                              [&] { return RecordsOnce(false, clients, per_client); });
      f.records_base[i].Try("baseline records/s", run,
                            [&] { return RecordsOnce(true, clients, per_client); });
    }
    if (!have_host) f.records_ours[i].problems = "bench_pipe_host.exe was not built";
  }
}

std::string IdleNote(const TOptions& opt, const std::vector<TIdleWindow>& windows) {
  if (windows.empty()) return "";
  std::vector<double> stat, run, threads, process, server;
  for (const TIdleWindow& w : windows) {
    stat.push_back(w.cpu.linux_ms * opt.Per10s());
    run.push_back(w.cpu.linux_run_ms * opt.Per10s());
    threads.push_back(w.cpu.threads_ms * opt.Per10s());
    process.push_back(w.cpu.process_ms * opt.Per10s());
    server.push_back(w.cpu.wineserver_ms * opt.Per10s());
  }
  return Fig("the larger of utime+stime (%.0f ms)", Median(stat)) +
         Fig(" and schedstat run time (%.2f ms) of the Wine process", Median(run)) +
         Fig("; per-thread times %.1f ms", Median(threads)) +
         Fig(", GetProcessTimes %.1f ms", Median(process)) +
         Fig(", wineserver %.0f ms in the same windows", Median(server));
}

double MedianMemory(const std::vector<TIdleWindow>& windows, bool rss) {
  std::vector<double> v;
  for (const TIdleWindow& w : windows) v.push_back(rss ? w.memory.rss_kib : w.memory.pagefile_kib);
  return Median(v);
}

TResults Summarize(const TOptions& opt, const TFigures& f) {
  TResults results;
  if (g_cut_short)
    results.AddNote(Fig("the time budget (%.0f s) cut some repetitions short", opt.budget_s));
  if (!f.service_problem.empty()) results.AddNote(f.service_problem);
  const char* clients[2] = {"1 client", "100th client"};
  for (int i = 0; i < 2; ++i)
    for (const TRelayRow& row : f.relay[i]) {
      std::string damaged =
          row.damaged ? Fig("%.0f lines arrived damaged or out of order", row.damaged) : "";
      results.Add({Fig("relay throughput, %.0f-byte lines, ", row.line_bytes) + clients[i],
                   "lines/s", row.ours.Median(), row.base.Median(), TGoal::RatioAtLeast, 0.8,
                   Join({row.ours.problems, row.base.problems, damaged}),
                   PairedRatios(row.ours, row.base)});
    }
  for (const TRelayRow& row : f.relay[0])
    results.Add({Fig("relay CPU per line, %.0f-byte lines", row.line_bytes), "us",
                 row.cpu_ours.Median(), row.cpu_base.Median(), TGoal::RatioAtMost, 2,
                 "the relay process's utime+stime", PairedRatios(row.cpu_ours, row.cpu_base)});
  for (const TRelayRow& row : f.relay[0])
    results.Add({Fig("wineserver CPU per line, %.0f-byte lines", row.line_bytes), "us",
                 row.server_ours.Median(), row.server_base.Median(), TGoal::Info, NAN, "",
                 PairedRatios(row.server_ours, row.server_base)});
  results.Add({"relay latency p50", "us", f.p50_ours.Median(), f.p50_base.Median(),
               TGoal::RatioAtMost, 3,
               Join({f.p50_ours.problems, f.p50_base.problems, "aim: 2.5 x baseline"}),
               PairedRatios(f.p50_ours, f.p50_base)});
  results.Add({"relay latency p99", "us", f.p99_ours.Median(), f.p99_base.Median(), TGoal::Info,
               NAN, "", PairedRatios(f.p99_ours, f.p99_base)});
  const char* record_names[2] = {"record throughput, 1 client", "record throughput, 100 clients"};
  for (int i = 0; i < 2; ++i)
    results.Add({record_names[i], "records/s", f.records_ours[i].Median(),
                 f.records_base[i].Median(), TGoal::RatioAtLeast, 0.5,
                 Join({f.records_ours[i].problems, f.records_base[i].problems}),
                 PairedRatios(f.records_ours[i], f.records_base[i])});
  results.Add({"idle CPU, 0 clients", "ms in 10 s", f.idle0.Median(), 0, TGoal::AtMost, 20,
               Join({f.idle0.problems, f.probe_note, IdleNote(opt, f.windows0)}), {}});
  results.Add({"idle CPU, 100 clients", "ms in 10 s", f.idle100.Median(), 0, TGoal::AtMost, 20,
               Join({f.idle100.problems, f.probe_note, IdleNote(opt, f.windows100)}), {}});

  double per_client =
      (MedianMemory(f.windows100, false) - MedianMemory(f.windows0, false)) / kIdleClients;
  double per_client_rss =
      (MedianMemory(f.windows100, true) - MedianMemory(f.windows0, true)) / kIdleClients;
  double thread_cost = f.thread_pagefile.Median();
  double thread_cost_rss = f.thread_rss.Median();
  std::string memory_note =
      Join({f.idle100.problems, f.thread_pagefile.problems,
            Fig("PagefileUsage; an idle thread of our own costs %.0f KiB", thread_cost) +
                Fig(" (RSS %.0f KiB)", thread_cost_rss) +
                Fig("; RSS per client %.0f KiB as measured", per_client_rss) +
                Fig(", %.0f KiB net", per_client_rss - thread_cost_rss)});
  results.Add({"memory per client, net of its thread", "KiB", per_client - thread_cost, NAN,
               TGoal::AtMost, 128, memory_note, {}});
  results.Add({"memory per client, as measured", "KiB", per_client, NAN, TGoal::Info, NAN, "", {}});
  results.Add({"tunnel up, real openvpn.exe", "ms", f.up_ours.Median(), f.up_base.Median(),
               TGoal::RatioAtMost, 1.05,
               Join({f.tunnel_problem, f.up_ours.problems, f.up_base.problems,
                     "from the \"connect\" request to the relayed \"Initialization Sequence "
                     "Completed\"; baseline: from CreateProcessW to that line in its output pipe"}),
               PairedRatios(f.up_ours, f.up_base)});
  results.Add({"disconnect to openvpn.exe ended", "ms", f.end_ours.Median(), f.end_base.Median(),
               TGoal::Info, NAN,
               Join({f.tunnel_problem,
                     "from \"disconnect\" until the process's handle is signalled (both end "
                     "markers: " + Fig("%.1f ms", f.markers_ours.Median()) +
                         "); baseline: TerminateProcess until its handle is signalled"}),
               PairedRatios(f.end_ours, f.end_base)});
  return results;
}

int RunRecordsClient(const TOptions& opt) {
  try {
    Say("%.0f records/s", RecordClientsOnce(opt.records_client, nullptr, opt.clients,
                                            opt.records / opt.clients));
    return 0;
  } catch (const Exception& e) {
    Say("failed: %s", Utf8(e.Message()).c_str());
    return 2;
  }
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  const TOptions opt = ParseOptions(argc, argv);
  if (!opt.records_client.empty()) return RunRecordsClient(opt);

  TFigures figures;
  if (opt.Runs(L"threads")) MeasureThreadCost(opt, figures);
  if (opt.Runs(L"relay") || opt.Runs(L"latency") || opt.Runs(L"relay100") || opt.Runs(L"idle") ||
      opt.Runs(L"tunnel"))
    MeasureService(opt, figures);
  if (opt.Runs(L"records")) MeasureRecords(opt, figures);

  TResults results = Summarize(opt, figures);
  Say("\n== summary (medians of up to %d runs; ratio = median of ours / baseline over runs made "
      "back to back)", opt.repeats);
  results.PrintTable();
  if (!opt.json.empty()) {
    if (results.WriteJson(opt.json))
      Say("\nwritten to %ls", opt.json.c_str());
    else
      Say("\ncould not write %ls", opt.json.c_str());
  }
  return 0;
}
