#pragma once
// Tunnel runs: the real openvpn.exe against Debian's Linux openvpn server on 127.0.0.1, which
// bench.sh starts (two of them, used in turn: a point-to-point server takes one client at a
// time and notices a killed one only after its 5 s ping time-out). One run of either side
// brings a tunnel up and ends it again; the next run on the same server first waits until
// the server has let this client go.
//
// Threading: the driver's one thread.

#include <windows.h>

#include <cmath>
#include <string>
#include <vector>

#include "runs.h"
#include "server_log.h"

namespace velotarn::bench {

// One Linux server: its UDP port and its log.
struct TTunnelServer {
  std::wstring port;
  test::TServerLog log;
};

// What bench.sh hands over (Windows paths): openvpn.exe, the folder of ca.crt, client.crt
// and client.key, and the servers.
struct TTunnelBed {
  std::wstring openvpn;
  std::wstring pki;
  std::vector<TTunnelServer> servers;
};

// The client command line a desktop program would send to connect to `server`.
std::wstring TunnelCommand(const TTunnelBed& bed, const TTunnelServer& server);

// Starts openvpn.exe once with --version and waits for it, so that neither side's first run
// also measures loading the program from disk.
void WarmUpOpenvpn(const TTunnelBed& bed);

// One run, in milliseconds: `up_ms` from the start (ours: the "connect" request; direct:
// CreateProcessW) to the output line "Initialization Sequence Completed"; `end_ms` from the
// end (ours: "disconnect"; direct: TerminateProcess) until openvpn.exe has ended; `markers_ms`
// (ours only) from "disconnect" until both end markers have arrived.
struct TTunnelRun {
  double up_ms = 0;
  double end_ms = 0;
  double markers_ms = NAN;
};
TTunnelRun TunnelThroughServiceOnce(const TRelayTarget& target, const TTunnelBed& bed,
                                    const TTunnelServer& server);
TTunnelRun TunnelDirectOnce(const TTunnelBed& bed, const TTunnelServer& server);

}  // namespace velotarn::bench
