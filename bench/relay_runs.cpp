// Relay runs: the service's (or the baseline relay's) pipe, a "connect" request for the writer
// child, and the records that come back.
#include <cstdlib>
#include <functional>

#include "record_reader.h"
#include "runs.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace velotarn::bench {

namespace {
constexpr DWORD kConnectMs = 20000;
constexpr DWORD kRecordMs = 60000;  // the longest gap allowed between two records
constexpr DWORD kReadyMs = 20000;

// Sends `request` (unless empty) and reads records until the second end marker; `on_line`
// receives every other record's text.
void ReadRun(const TRelayTarget& target, const std::string& request,
             const std::function<void(std::string_view)>& on_line) {
  unique_handle client = ConnectPipe(target.pipe, kConnectMs, target.server);
  TPipeIo io(client.get());
  if (!request.empty())
    io.WriteMessage(request.data(), static_cast<DWORD>(request.size()), kRecordMs, L"request");
  uint8_t record[4096];
  for (int ends = 0; ends < 2;) {
    DWORD n = io.ReadMessage(record, sizeof record, kRecordMs, L"relayed record");
    if (n != kRecordSize) throw Exception(Format(L"a reply of %lu bytes arrived", n));
    std::string_view text = RecordText(record, n);
    if (text == kEndMarker)
      ++ends;
    else
      on_line(text);
  }
}
}  // namespace

std::wstring WriterPath() { return ProgramDir() + L"bench_writer.exe"; }
std::wstring BaselinePath() { return ProgramDir() + L"bench_baseline.exe"; }
std::wstring PipeHostPath() { return ProgramDir() + L"bench_pipe_host.exe"; }

TBaselineServer StartBaseline(const std::wstring& mode, const std::wstring& extra_args) {
  TBaselineServer server;
  server.pipe = UniquePipeName(mode.c_str());
  unique_handle ready = NewInheritableEvent();
  server.child = StartProcess(Quoted(BaselinePath()) + L" " + mode + L" " + server.pipe + L" " +
                                  HandleArg(ready.get()) + L" " + extra_args,
                              {ready.get()});
  HANDLE waits[] = {ready.get(), server.child.Process.get()};
  DWORD rc = WaitForMultipleObjects(2, waits, FALSE, kReadyMs);
  if (rc == WAIT_OBJECT_0) return server;
  int code = WaitExitOrKill(server.child.Process.get(), 0);
  throw Exception(Format(L"the %ls baseline %ls (exit code %d)", mode.c_str(),
                         rc == WAIT_OBJECT_0 + 1 ? L"ended before it listened" : L"never listened",
                         code));
}

std::string ConnectRequest(const std::wstring& command_line) {
  std::wstring dir = ProgramDir();
  dir.pop_back();  // no trailing backslash
  return WideToAnsi(L"connect\r\n" + command_line + L"\r\n" + dir);
}

TRelayRun RelayThroughputOnce(const TRelayTarget& target, long lines, int line_bytes) {
  TRelayRun run;
  long got = 0;
  TCpuSample before;
  if (target.probe != nullptr) before = target.probe->Cpu();
  int64_t start = QpcNow();
  ReadRun(target,
          ConnectRequest(Quoted(WriterPath()) + Format(L" lines %ld %d", lines, line_bytes)),
          [&](std::string_view text) {
            if (TrimLineBreaks(text) != WriterLine(got, line_bytes)) ++run.damaged;
            ++got;
          });
  double seconds = QpcSecondsSince(start);
  if (target.probe != nullptr) run.cpu = target.probe->Cpu() - before;
  if (got != lines) throw Exception(Format(L"%ld of %ld lines arrived", got, lines));
  run.lines_per_s = static_cast<double>(got) / seconds;
  return run;
}

std::vector<double> LatencyOnce(const TRelayTarget& target, const std::string& request,
                                long samples) {
  std::vector<double> delays;
  ReadRun(target, request, [&](std::string_view text) {
    int64_t now = QpcNow();
    std::string_view line = TrimLineBreaks(text);
    if (line.empty() || line.front() != 'T') throw Exception(L"a line without a time stamp");
    int64_t stamp = std::strtoll(std::string(line.substr(1)).c_str(), nullptr, 10);
    delays.push_back(QpcToMicros(now - stamp));
  });
  if (static_cast<long>(delays.size()) != samples)
    throw Exception(Format(L"%zu of %ld stamped lines arrived", delays.size(), samples));
  return delays;
}

std::vector<unique_handle> ConnectIdleClients(const TRelayTarget& target, int n, int& answered) {
  std::vector<unique_handle> clients;
  for (int i = 0; i < n; ++i) clients.push_back(ConnectPipe(target.pipe, kConnectMs, target.server));
  if (clients.empty()) return clients;
  // The service answers the client whose connection it registered last. That is normally the
  // last one, but the connect notifications of different connections are posted by different
  // threads, so under load another may come last: the end markers are read from any client.
  // They arrive once every hand-off has been made.
  std::string request = ConnectRequest(Quoted(WriterPath()) + L" lines 0");
  TPipeIo(clients.back().get())
      .WriteMessage(request.data(), static_cast<DWORD>(request.size()), kRecordMs, L"request");
  TRecordReader reader(clients);
  reader.ReadAll(2, kRecordMs, [&](size_t client, std::string_view text) {
    if (text != kEndMarker)
      throw Exception(L"an idle client received something other than the end markers");
    answered = static_cast<int>(client);
  });
  return clients;
}

}  // namespace velotarn::bench
