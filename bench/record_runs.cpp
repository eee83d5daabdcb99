// Record throughput runs: a server program started for one run, its clients here.
#include <string>

#include "record_reader.h"
#include "runs.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace velotarn::bench {

namespace {
constexpr DWORD kConnectMs = 20000;
constexpr DWORD kRunMs = 180000;
constexpr DWORD kExitMs = 30000;
}  // namespace

double RecordClientsOnce(const std::wstring& pipe, HANDLE server, int clients, long per_client) {
  std::vector<unique_handle> ends;
  for (int i = 0; i < clients; ++i) ends.push_back(ConnectPipe(pipe, kConnectMs, server));
  int64_t start = QpcNow();
  // "go" is written before the ends join the reader's completion port, so that its own
  // completion never reaches the reader.
  TPipeIo(ends[0].get()).WriteMessage("go", 2, kConnectMs, L"go");
  TRecordReader reader(ends);
  // Each client must see "R0", "R1", ... in order.
  std::vector<long> next(ends.size(), 0);
  reader.ReadAll(static_cast<uint64_t>(clients) * static_cast<uint64_t>(per_client), kRunMs,
                 [&](size_t client, std::string_view text) {
                   std::string due = "R" + std::to_string(next[client]++);
                   if (text != due)
                     throw Exception(Format(L"record \"%hs\" arrived where %hs was due",
                                            std::string(text).c_str(), due.c_str()));
                 });
  return static_cast<double>(clients) * static_cast<double>(per_client) / QpcSecondsSince(start);
}

double RecordsOnce(bool baseline, int clients, long per_client) {
  std::wstring counts = Format(L"%d %ld", clients, per_client);
  TBaselineServer server;
  if (baseline) {
    server = StartBaseline(L"records", counts);
  } else {
    server.pipe = UniquePipeName(L"Host");
    server.child = StartProcess(Quoted(PipeHostPath()) + L" " + server.pipe + L" " + counts);
  }
  HANDLE process = server.child.Process.get();
  double rate = RecordClientsOnce(server.pipe, process, clients, per_client);
  // The client ends have gone: the server sees every client leave and ends.
  int code = WaitExitOrKill(process, kExitMs);
  if (code != 0)
    throw Exception(Format(L"the record server %ls (exit code %d)",
                           code == -1 ? L"did not end after its clients left" : L"failed", code));
  return rate;
}

}  // namespace velotarn::bench
