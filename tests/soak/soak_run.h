#pragma once
// The soak load: a number of client threads that share a budget of "connect" runs and use the
// service's pipe the way careless desktop programs would. Each client connects, sends a few
// requests (well-formed "connect" requests in every encoding, "disconnect", malformed ones),
// reads for a while whatever the service sends it, and leaves, often in the middle of a run.
//
// The service sends every record to the client that connected last, so a client may receive
// the lines of any run: each client checks that what it receives is sound (records of 1025
// bytes, the child's lines or "#END#", each run's lines in order), not whose they are.
//
// Threading: Run() is called on one thread; it starts and joins the client threads itself.

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velotarn::test {

struct TSoakConfig {
  uint64_t seed = 0;
  int runs = 500;
  int clients = 10;
  std::wstring child_path;    // ovpn_child.exe
  std::wstring openvpn_path;  // the same program as openvpn.exe
  std::wstring directory;     // where the children run
  std::wstring starts_table;  // every child counts its start there (TRunStarts)
  std::wstring hold_event;    // openvpn.exe children hold until it is set
  DWORD time_limit_ms = 240000;
};

// A run the load sent, and how.
struct TSoakRun {
  bool openvpn = false;  // openvpn.exe, which a "disconnect" may end before it counts itself
  std::string how;
};

struct TSoakTally {
  int runs_sent = 0;           // well-formed "connect" requests written
  int child_runs_sent = 0;     // ... of them for ovpn_child.exe
  int openvpn_runs_sent = 0;   // ... of them for openvpn.exe
  int huge_runs_sent = 0;      // ... of them padded to about 1 MiB
  int malformed_sent = 0;
  int disconnects_sent = 0;
  int sessions = 0;            // connections made
  int left_mid_run = 0;        // sessions that started a run and left without awaiting its end
  int records = 0;             // records received in all
  int end_markers = 0;         // "#END#" records among them
  std::map<int, TSoakRun> runs;               // every run sent
  std::map<std::string, int> malformed_kinds;
  std::map<std::wstring, int> expected_log;  // event log entry text -> how many
  std::vector<std::string> faults;           // everything that went wrong, described
};

// Runs the load against the service's pipe until config.runs "connect" runs have been sent
// (or the time limit has passed, which is a fault) and every client has left.
TSoakTally RunSoak(const TSoakConfig& config);

// Run number of the malformed requests that name a child: none of them may start it.
inline constexpr int kNeverStarted = 0;

// The command line of a soak child run that counts itself in `table` and holds until
// `hold_event` is set (not at all when it is empty).
std::wstring ChildRunCommand(const std::wstring& program, const std::wstring& table, int run,
                             int lines, const std::wstring& hold_event = {});

}  // namespace velotarn::test
