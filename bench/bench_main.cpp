// velotarn_bench.exe: every benchmark, ours and its baseline measured side by side in one run,
// each repeated with the runs of both sides interleaved; medians go into the summary table,
// which is printed and written as JSON.
//
//   velotarn_bench.exe [--service <velotarnsvc.exe>] [--json <file>] [--repeats <n>]
//                      [--lines <n>] [--samples <n>] [--records <n>] [--idle-ms <ms>]
//                      [--only threads,idle,relay,latency,records]
//   velotarn_bench.exe --records-client <pipe> [--clients <n>] [--records <n>]
//                      only the client side of one record run against a server started by
//                      hand (bench_pipe_host.exe or bench_baseline.exe records), e.g. to trace
//                      that server alone
//
// Without --service (the service not built) the rows of ours that need it report n/a.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_service.h"
#include "results.h"
#include "runs.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace {
using namespace velotarn;
using namespace velotarn::bench;

constexpr int kIdleClients = 100;
constexpr long kLatencyWarmup = 5;  // the first stamped lines also measure the child's start
constexpr int kThreadProbeThreads = 100;

struct TOptions {
  std::wstring service;
  std::wstring json;
  int repeats = 3;
  long lines = 20000;
  long samples = 150;
  long records = 20000;
  DWORD idle_ms = 10000;
  std::wstring records_client;
  int clients = 1;
  std::wstring only;  // comma-separated sections to run: threads,idle,relay,latency,records

  bool Runs(const wchar_t* section) const {
    return only.empty() || (L"," + only + L",").find(L"," + std::wstring(section) + L",") !=
                               std::wstring::npos;
  }
};

TOptions ParseOptions(int argc, wchar_t** argv) {
  TOptions o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::wstring key = argv[i];
    const wchar_t* value = argv[i + 1];
    if (key == L"--service") o.service = value;
    else if (key == L"--json") o.json = value;
    else if (key == L"--repeats") o.repeats = std::max(1, _wtoi(value));
    else if (key == L"--lines") o.lines = std::max(1, _wtoi(value));
    else if (key == L"--samples") o.samples = std::max<long>(kLatencyWarmup + 1, _wtoi(value));
    else if (key == L"--records") o.records = std::max(100, _wtoi(value));
    else if (key == L"--only") o.only = value;
    else if (key == L"--records-client") o.records_client = value;
    else if (key == L"--clients") o.clients = std::max(1, _wtoi(value));
    else if (key == L"--idle-ms") o.idle_ms = static_cast<DWORD>(std::max(1000, _wtoi(value)));
  }
  return o;
}

std::string Utf8(const std::wstring& text) { return WideToUtf8(text); }

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Figures of one side of one benchmark over its repetitions, and what went wrong.
struct TSide {
  std::vector<double> values;
  std::string problems;

  // Runs `measure` once; a failure is remembered, not raised.
  void Try(const char* label, int run, const std::function<double()>& measure) {
    try {
      double v = measure();
      values.push_back(v);
      Say("  %-34s run %d: %.2f", label, run, v);
    } catch (const Exception& e) {
      std::string text = Utf8(e.Message());
      for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
      Say("  %-34s run %d: failed: %s", label, run, text.c_str());
      if (problems.empty()) problems = std::string(label) + ": " + text;
    }
  }
  double Median() const { return bench::Median(values); }
};

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
}  // namespace

int wmain(int argc, wchar_t** argv) {
  const TOptions opt = ParseOptions(argc, argv);
  if (!opt.records_client.empty()) {
    try {
      Say("%.0f records/s", RecordClientsOnce(opt.records_client, nullptr, opt.clients,
                                              opt.records / opt.clients));
      return 0;
    } catch (const Exception& e) {
      Say("failed: %s", Utf8(e.Message()).c_str());
      return 2;
    }
  }
  TResults results;
  const double per10s = 10000.0 / opt.idle_ms;

  // --- the cost of an idle thread, for the memory figures -------------------------------
  Say("== idle thread cost (%d threads)", kThreadProbeThreads);
  TSide thread_pagefile, thread_rss;
  for (int run = 1; run <= opt.repeats && opt.Runs(L"threads"); ++run) {
    TMemorySample cost;
    thread_pagefile.Try("thread PagefileUsage KiB", run, [&] {
      cost = ThreadCostOnce(kThreadProbeThreads);
      return cost.pagefile_kib;
    });
    if (!std::isnan(cost.rss_kib)) thread_rss.values.push_back(cost.rss_kib);
  }

  // --- the service: idle cost, memory, relay -------------------------------------------
  std::unique_ptr<TBenchService> service;
  std::string service_problem;
  const bool needs_service = opt.Runs(L"idle") || opt.Runs(L"relay") || opt.Runs(L"latency");
  if (!needs_service) {
  } else if (opt.service.empty()) {
    service_problem = "velotarnsvc.exe was not built";
  } else {
    Say("== installing and starting the service");
    try {
      service = std::make_unique<TBenchService>(opt.service);
      Say("  running, process %lu", service->Pid());
    } catch (const Exception& e) {
      service_problem = "service: " + Utf8(e.Message());
      Say("  %s", service_problem.c_str());
    }
  }
  const TRelayTarget ours_target{TBenchService::kPipeName,
                                 service ? service->Process() : nullptr};

  // Idle clients come last, so that a fault in ending a hundred connections at once cannot
  // spoil the relay runs.
  Say("== relay throughput: %ld lines", opt.lines);
  TSide relay_ours, relay_base;
  std::vector<double> cpu_line_ours, cpu_line_base, server_line_ours, server_line_base;
  long damaged_ours = 0;
  // CPU per line, in microseconds, of the relay process and of the wineserver.
  auto per_line = [&](const TRelayRun& r, std::vector<double>& relay, std::vector<double>& server) {
    relay.push_back(r.cpu.linux_ms * 1000.0 / opt.lines);
    server.push_back(r.cpu.wineserver_ms * 1000.0 / opt.lines);
    Say("    relay process %.0f us CPU per line (schedstat %.0f us), wineserver %.0f us",
        relay.back(), r.cpu.linux_run_ms * 1000.0 / opt.lines, server.back());
  };
  std::unique_ptr<TProcessProbe> service_probe;
  if (service)
    service_probe = std::make_unique<TProcessProbe>(service->Process(), service->Pid(),
                                                    ExtractFileName(opt.service));
  const TRelayTarget ours_relay{ours_target.pipe, ours_target.server, service_probe.get()};
  for (int run = 1; run <= opt.repeats && opt.Runs(L"relay"); ++run) {
    if (service)
      relay_ours.Try("ours lines/s", run, [&] {
        TRelayRun r = RelayThroughputOnce(ours_relay, opt.lines);
        damaged_ours += r.damaged;
        per_line(r, cpu_line_ours, server_line_ours);
        return r.lines_per_s;
      });
    relay_base.Try("baseline lines/s", run, [&] {
      TBaselineServer b = StartBaseline(L"relay", L"");
      TProcessProbe probe(b.child.Process.get(), b.child.Pid, L"bench_baseline.exe");
      TRelayRun r = RelayThroughputOnce({b.pipe, b.child.Process.get(), &probe}, opt.lines);
      WaitExitOrKill(b.child.Process.get(), 30000);
      per_line(r, cpu_line_base, server_line_base);
      return r.lines_per_s;
    });
  }

  Say("== relay latency: %ld lines, one every 20 ms", opt.samples);
  TSide p50_ours, p50_base, p99_ours, p99_base;
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
      Say("  %-34s run %d: p99 %.0f us", label, run, p99.values.back());
    }
  };
  for (int run = 1; run <= opt.repeats && opt.Runs(L"latency"); ++run) {
    if (service)
      latency(p50_ours, p99_ours, "ours p50 us", run, [&] {
        return LatencyOnce(ours_target,
                           ConnectRequest(Quoted(WriterPath()) + Format(L" paced %ld", opt.samples)),
                           opt.samples);
      });
    latency(p50_base, p99_base, "baseline p50 us", run, [&] {
      TBaselineServer b = StartBaseline(L"latency", std::to_wstring(opt.samples));
      std::vector<double> d = LatencyOnce({b.pipe, b.child.Process.get()}, "", opt.samples);
      WaitExitOrKill(b.child.Process.get(), 30000);
      return d;
    });
  }

  TSide idle0, idle100;
  std::vector<TIdleWindow> windows0, windows100;
  std::string probe_note;
  if (service && opt.Runs(L"idle")) {
    Say("== idle cost: %lu ms windows", opt.idle_ms);
    const TProcessProbe& probe = *service_probe;
    if (probe.LinuxPid() < 0) probe_note = "no Linux process found: per-thread times used";
    auto window_cpu = [&](std::vector<TIdleWindow>& windows) {
      TIdleWindow w = IdleWindow(probe, service->Process(), opt.idle_ms);
      windows.push_back(w);
      Say("    utime+stime %.0f ms, schedstat %.2f ms, threads %.1f ms, GetProcessTimes %.1f ms, "
          "wineserver %.0f ms; PagefileUsage %.0f KiB, RSS %.0f KiB",
          w.cpu.linux_ms, w.cpu.linux_run_ms, w.cpu.threads_ms, w.cpu.process_ms,
          w.cpu.wineserver_ms, w.memory.pagefile_kib, w.memory.rss_kib);
      // The larger Linux figure counts: utime+stime has 10 ms resolution, schedstat misses
      // threads that ended during the window.
      double linux_ms = std::fmax(w.cpu.linux_ms, w.cpu.linux_run_ms);
      return (std::isnan(linux_ms) ? w.cpu.threads_ms : linux_ms) * per10s;
    };
    for (int run = 1; run <= opt.repeats; ++run)
      idle0.Try("idle CPU, 0 clients", run, [&] { return window_cpu(windows0); });
    try {
      std::vector<unique_handle> clients = ConnectIdleClients(ours_target, kIdleClients);
      Say("  %d idle clients connected", kIdleClients);
      for (int run = 1; run <= opt.repeats; ++run)
        idle100.Try("idle CPU, 100 clients", run, [&] { return window_cpu(windows100); });
    } catch (const Exception& e) {
      idle100.problems = "connecting idle clients: " + Utf8(e.Message());
      Say("  %s", idle100.problems.c_str());
    }
  }

  if (service) {
    Say("== stopping and deleting the service");
    std::string problem = Utf8(service->StopAndDelete());
    if (!problem.empty()) service_problem = Join({service_problem, "service stop: " + problem});
    service.reset();
  }

  TSide rec1_ours, rec1_base, rec100_ours, rec100_base;
  const bool have_host = GetFileAttributesW(PipeHostPath().c_str()) != INVALID_FILE_ATTRIBUTES;
  for (int clients : {1, kIdleClients}) {
    long per_client = opt.records / clients;
    Say("== record throughput: %d client(s), %ld records each", clients, per_client);
    TSide& ours = clients == 1 ? rec1_ours : rec100_ours;
    TSide& base = clients == 1 ? rec1_base : rec100_base;
    for (int run = 1; run <= opt.repeats && opt.Runs(L"records"); ++run) {
      if (have_host)
        ours.Try("ours records/s", run, [&] { return RecordsOnce(false, clients, per_client); });
      base.Try("baseline records/s", run, [&] { return RecordsOnce(true, clients, per_client); });
    }
    if (!have_host) ours.problems = "bench_pipe_host.exe was not built";
  }

  // --- the summary ----------------------------------------------------------------------
  if (!service_problem.empty()) results.AddNote(service_problem);
  auto ours_note = [&](const TSide& ours, const TSide& base) {
    return Join({ours.problems, base.problems});
  };
  results.Add({"relay throughput", "lines/s", relay_ours.Median(), relay_base.Median(),
               TGoal::RatioAtLeast, 0.5,
               Join({ours_note(relay_ours, relay_base),
                     damaged_ours ? Fig("%.0f lines arrived damaged or out of order",
                                        static_cast<double>(damaged_ours))
                                  : ""})});
  results.Add({"relay CPU per line, relay process", "us", Median(cpu_line_ours),
               Median(cpu_line_base), TGoal::Info, NAN, ""});
  results.Add({"relay CPU per line, wineserver", "us", Median(server_line_ours),
               Median(server_line_base), TGoal::Info, NAN, ""});
  results.Add({"relay latency p50", "us", p50_ours.Median(), p50_base.Median(),
               TGoal::RatioAtMost, 3, ours_note(p50_ours, p50_base)});
  results.Add({"relay latency p99", "us", p99_ours.Median(), p99_base.Median(), TGoal::Info,
               NAN, ""});
  results.Add({"record throughput, 1 client", "records/s", rec1_ours.Median(),
               rec1_base.Median(), TGoal::RatioAtLeast, 0.5,
               Join({rec1_ours.problems, rec1_base.problems})});
  results.Add({"record throughput, 100 clients", "records/s", rec100_ours.Median(),
               rec100_base.Median(), TGoal::RatioAtLeast, 0.5,
               Join({rec100_ours.problems, rec100_base.problems})});

  auto idle_note = [&](const std::vector<TIdleWindow>& windows) {
    std::vector<double> stat, run, threads, process, server;
    for (const TIdleWindow& w : windows) {
      stat.push_back(w.cpu.linux_ms * per10s);
      run.push_back(w.cpu.linux_run_ms * per10s);
      threads.push_back(w.cpu.threads_ms * per10s);
      process.push_back(w.cpu.process_ms * per10s);
      server.push_back(w.cpu.wineserver_ms * per10s);
    }
    if (windows.empty()) return std::string();
    return Fig("the larger of utime+stime (%.0f ms)", Median(stat)) +
           Fig(" and schedstat run time (%.2f ms) of the Wine process", Median(run)) +
           Fig("; per-thread times %.1f ms", Median(threads)) +
           Fig(", GetProcessTimes %.1f ms", Median(process)) +
           Fig(", wineserver %.0f ms in the same windows", Median(server));
  };
  TRow& idle_row0 = results.Add({"idle CPU, 0 clients", "ms in 10 s", idle0.Median(), 0,
                                 TGoal::AtMost, 20,
                                 Join({idle0.problems, probe_note,
                                       idle_note(windows0)})});
  (void)idle_row0;
  results.Add({"idle CPU, 100 clients", "ms in 10 s", idle100.Median(), 0, TGoal::AtMost, 20,
               Join({idle100.problems, probe_note, idle_note(windows100)})});

  auto median_memory = [](const std::vector<TIdleWindow>& windows, bool rss) {
    std::vector<double> v;
    for (const TIdleWindow& w : windows) v.push_back(rss ? w.memory.rss_kib : w.memory.pagefile_kib);
    return Median(v);
  };
  double per_client = (median_memory(windows100, false) - median_memory(windows0, false)) / kIdleClients;
  double per_client_rss = (median_memory(windows100, true) - median_memory(windows0, true)) / kIdleClients;
  double thread_cost = thread_pagefile.Median();
  double thread_cost_rss = thread_rss.Median();
  std::string memory_note = Join(
      {idle100.problems, thread_pagefile.problems,
       Fig("PagefileUsage; an idle thread of our own costs %.0f KiB", thread_cost) +
           Fig(" (RSS %.0f KiB)", thread_cost_rss) +
           Fig("; RSS per client %.0f KiB as measured", per_client_rss) +
           Fig(", %.0f KiB net", per_client_rss - thread_cost_rss)});
  results.Add({"memory per client, net of its thread", "KiB", per_client - thread_cost, NAN,
               TGoal::AtMost, 128, memory_note});
  results.Add({"memory per client, as measured", "KiB", per_client, NAN, TGoal::Info, NAN, ""});

  Say("\n== summary (medians of %d runs; ratio = ours / baseline)", opt.repeats);
  results.PrintTable();
  if (!opt.json.empty()) {
    if (results.WriteJson(opt.json))
      Say("\nwritten to %ls", opt.json.c_str());
    else
      Say("\ncould not write %ls", opt.json.c_str());
  }
  return 0;
}
