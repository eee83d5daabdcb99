#include "soak_run.h"

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "soak_client.h"
#include "soak_requests.h"

namespace velotarn::test {

std::wstring ChildRunCommand(const std::wstring& program, const std::wstring& table, int run,
                             int lines, const std::wstring& hold_event) {
  std::wstring command = L"\"" + program + L"\" count:" + table + L":" +
                         std::to_wstring(run) + L" soak:" + std::to_wstring(run) + L":" +
                         std::to_wstring(lines);
  if (!hold_event.empty()) command += L" hold:" + hold_event;
  return command;
}

namespace {

// Shared by the client threads: the budget of runs and the run numbers.
struct TBudget {
  explicit TBudget(int runs) : left(runs) {}
  // Takes one run out of the budget; false when it is spent.
  bool Claim(int* run) {
    int n = left.load();
    while (n > 0) {
      if (left.compare_exchange_weak(n, n - 1)) {
        *run = next_run.fetch_add(1);
        return true;
      }
    }
    return false;
  }
  bool Spent() const { return left.load() <= 0; }

  std::atomic<int> left;
  std::atomic<int> next_run{1};
};

// One client thread's part of the load; its tally is merged when the thread has ended.
class TClientLoad {
 public:
  TClientLoad(const TSoakConfig& config, TBudget& budget, int index)
      : config_(config), budget_(budget), index_(index),
        random_(config.seed * 1000003 + static_cast<uint64_t>(index)) {}

  void Run() {
    const ULONGLONG deadline = GetTickCount64() + config_.time_limit_ms;
    while (!budget_.Spent()) {
      if (GetTickCount64() > deadline) {
        Fault("the time limit passed with runs still to send");
        return;
      }
      if (!Session()) return;
    }
  }

  TSoakTally& Tally() { return tally_; }

 private:
  // One connection: a few requests, reading in between, then leaving. False when the client
  // should stop (budget spent or a fault that makes going on pointless).
  bool Session() {
    TSoakClient client;
    if (!client.Connect(20000)) {
      Fault("cannot connect: error " + std::to_string(GetLastError()));
      return false;
    }
    ++tally_.sessions;
    bool go_on = true;
    int last_run = 0;  // the newest run this session started, 0 for none
    const int actions = Pick(random_, 1, 5);
    for (int a = 0; a < actions && go_on; ++a) {
      step_ = a + 1;
      const int roll = Pick(random_, 0, 99);
      if (roll < 60) {
        go_on = SendRun(client, &last_run);
      } else if (roll < 88) {
        SendMalformed(client);
      } else if (roll < 93) {
        SendDisconnect(client);
      }
      // The client's own pace: it reads for a while before its next step, or goes on at once.
      if (Pick(random_, 0, 2) > 0) client.Receive(Pick(random_, 1, 8), Pick(random_, 0, 150));
    }
    // Leave at once (often in the middle of a run), or after this session's runs are over as
    // far as this client can tell.
    const char* leaving = "left after its last step";
    if (last_run != 0) {
      if (Pick(random_, 0, 3) == 0) {
        client.ReceiveUntil("#END#", 2, 2000);
        leaving = "left after awaiting end markers";
      } else {
        ++tally_.left_mid_run;
      }
    }
    for (int run : session_runs_)
      tally_.runs[run].how += std::string("; session ") + std::to_string(tally_.sessions) + " of " +
                          std::to_string(actions) + " steps, " + leaving;
    session_runs_.clear();
    if (client.Broken())
      Fault("the service broke the connection: error " + std::to_string(client.BreakError()));
    Check(client);
    client.Close();
    return go_on;
  }

  // One "connect" run of ovpn_child.exe or openvpn.exe. False when the budget is spent.
  bool SendRun(TSoakClient& client, int* last_run) {
    int run = 0;
    if (!budget_.Claim(&run)) return false;
    const bool openvpn = Pick(random_, 0, 99) < 30;
    const bool huge = Pick(random_, 0, 99) < 2;
    const int lines = Pick(random_, 0, 6);
    const std::wstring command =
        openvpn ? ChildRunCommand(config_.openvpn_path, config_.starts_table, run, lines,
                                  config_.hold_event)
                : ChildRunCommand(config_.child_path, config_.starts_table, run, lines);
    // A padded request is sent in an ANSI form: padding lines are only ignored after the
    // directory line.
    const TRequestForm form = huge ? TRequestForm::kAnsiCrLf : PickForm(random_);
    const std::string request =
        ConnectRequest(command, config_.directory, form, PickTail(random_, huge));
    if (!client.Send(request)) {
      Fault("a \"connect\" request of " + std::to_string(request.size()) +
            " bytes was not written");
      return true;
    }
    ++tally_.runs_sent;
    ++(openvpn ? tally_.openvpn_runs_sent : tally_.child_runs_sent);
    if (huge) ++tally_.huge_runs_sent;
    Note(run, openvpn,
         std::to_string(request.size()) + " bytes in form " +
             std::to_string(static_cast<int>(form)));
    *last_run = run;
    return true;
  }

  void SendDisconnect(TSoakClient& client) {
    ++tally_.disconnects_sent;
    if (!client.Send(Pick(random_, 0, 1) ? "disconnect" : "disconnect\r\n"))
      Fault("a \"disconnect\" request was not written");
  }

  void SendMalformed(TSoakClient& client) {
    const std::wstring command =
        ChildRunCommand(config_.child_path, config_.starts_table, kNeverStarted, 1);
    TMalformed m = PickMalformed(random_, command, config_.directory);
    if (!client.Send(m.bytes)) {
      Fault(std::string("a malformed request (") + m.kind + ") was not written");
      return;
    }
    ++tally_.malformed_sent;
    ++tally_.malformed_kinds[m.kind];
    if (!m.log_entry.empty()) ++tally_.expected_log[m.log_entry];
  }

  // What one session received: sound records, the children's lines or end markers, and the
  // lines of each run in order.
  void Check(TSoakClient& client) {
    for (const std::string& fault : client.Faults()) Fault("received " + fault);
    std::map<int, int> last_index;
    for (const std::string& text : client.TakeTexts()) {
      ++tally_.records;
      if (text == "#END#") {
        ++tally_.end_markers;
        continue;
      }
      TSoakLine line;
      if (!ParseSoakLine(text, &line) || line.count == 0 || line.index > line.count) {
        Fault("received an unexpected record text: " + Printable(text));
        continue;
      }
      int& last = last_index[line.run];
      if (line.index <= last) {
        Fault("run " + std::to_string(line.run) + ": line " + std::to_string(line.index) +
              " came after line " + std::to_string(last));
      }
      if ((line.index == 1) != (text[0] == 's'))
        Fault("a line with a wrong start: " + Printable(text));
      last = line.index;
    }
  }

  void Note(int run, bool openvpn, const std::string& how) {
    TSoakRun& noted = tally_.runs[run];
    noted.openvpn = openvpn;
    noted.how = std::string(openvpn ? "openvpn.exe" : "ovpn_child.exe") + ", client " +
                std::to_string(index_) + ", step " + std::to_string(step_) + ": " + how;
    session_runs_.push_back(run);
  }

  void Fault(const std::string& what) {
    tally_.faults.push_back("client " + std::to_string(index_) + ": " + what);
  }

  const TSoakConfig& config_;
  TBudget& budget_;
  const int index_;
  TRandom random_;
  TSoakTally tally_;
  int step_ = 0;                  // the step of the current session
  std::vector<int> session_runs_;  // the runs the current session sent
};

void Merge(TSoakTally& into, const TSoakTally& from) {
  into.runs_sent += from.runs_sent;
  into.child_runs_sent += from.child_runs_sent;
  into.openvpn_runs_sent += from.openvpn_runs_sent;
  into.huge_runs_sent += from.huge_runs_sent;
  into.malformed_sent += from.malformed_sent;
  into.disconnects_sent += from.disconnects_sent;
  into.sessions += from.sessions;
  into.left_mid_run += from.left_mid_run;
  into.records += from.records;
  into.end_markers += from.end_markers;
  into.runs.insert(from.runs.begin(), from.runs.end());
  for (const auto& [kind, n] : from.malformed_kinds) into.malformed_kinds[kind] += n;
  for (const auto& [text, n] : from.expected_log) into.expected_log[text] += n;
  into.faults.insert(into.faults.end(), from.faults.begin(), from.faults.end());
}

}  // namespace

TSoakTally RunSoak(const TSoakConfig& config) {
  TBudget budget(config.runs);
  std::vector<std::unique_ptr<TClientLoad>> loads;
  for (int i = 0; i < config.clients; ++i)
    loads.push_back(std::make_unique<TClientLoad>(config, budget, i));
  {
    std::vector<std::jthread> threads;
    for (auto& load : loads) threads.emplace_back([&load] { load->Run(); });
  }  // joined here: every client bounds its own time
  TSoakTally tally;
  for (auto& load : loads) Merge(tally, load->Tally());
  return tally;
}

}  // namespace velotarn::test
