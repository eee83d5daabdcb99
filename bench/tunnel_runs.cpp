// Tunnel runs: openvpn.exe through the service's pipe, or started directly with its output in
// a pipe of our own, up to "Initialization Sequence Completed" and ended again.
#include "tunnel_runs.h"

#include <tlhelp32.h>

#include <deque>

#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace velotarn::bench {

namespace {
constexpr char kUp[] = "Initialization Sequence Completed";
constexpr wchar_t kOpenvpnImage[] = L"openvpn.exe";
constexpr char kDisconnect[] = "disconnect";
constexpr DWORD kTunnelUpMs = 60000;  // a TLS handshake under Wine on a loaded machine
// A killed client is noticed after the server's 5 s ping time-out, then it binds again.
constexpr DWORD kServerReadyMs = 60000;
constexpr DWORD kServerUpMs = 20000;
constexpr DWORD kEndMs = 20000;
constexpr DWORD kConnectMs = 20000;

double MsSince(int64_t start) { return QpcToMicros(QpcNow() - start) / 1000.0; }

// The last lines of a run's output, for the message of a run that failed.
class TRecentLines {
 public:
  void Add(std::string_view line) {
    line = TrimLineBreaks(line);
    if (line.empty()) return;
    lines_.emplace_back(line);
    if (lines_.size() > 8) lines_.pop_front();
  }
  std::wstring Text() const {
    std::wstring text = L"; last output:";
    for (const std::string& line : lines_) text += L" | " + AnsiToWide(line);
    return lines_.empty() ? L"; no output" : text;
  }

 private:
  std::deque<std::string> lines_;
};

// Waits until the server has let its last client go and listens again; returns how many
// tunnels it has completed so far.
size_t WaitServerReady(const TTunnelServer& server) {
  if (!server.log.WaitReady(kServerReadyMs))
    throw Exception(Format(L"the server at port %ls did not let its last client go within %lu ms",
                           server.port.c_str(), kServerReadyMs));
  return server.log.Count(kUp);
}

// The client's side is up; the run is ended only once the server's is too, so that the
// server's log tells when it has let this client go.
void WaitServerUp(const TTunnelServer& server, size_t up_before) {
  if (!server.log.WaitCount(kUp, up_before + 1, kServerUpMs))
    throw Exception(Format(L"the server at port %ls did not complete the tunnel",
                           server.port.c_str()));
}

// The one openvpn.exe of this prefix: the service's child.
DWORD OnlyOpenvpnPid() {
  unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) RaiseLastOSError();
  std::vector<DWORD> found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry))
    if (_wcsicmp(ExtractFileName(entry.szExeFile).c_str(), kOpenvpnImage) == 0)
      found.push_back(entry.th32ProcessID);
  if (found.size() != 1)
    throw Exception(Format(L"%zu processes named %ls are running, not one", found.size(),
                           kOpenvpnImage));
  return found[0];
}

std::string ReadRecord(TPipeIo& io, const TDeadline& deadline) {
  uint8_t record[4096];
  DWORD n = io.ReadMessage(record, sizeof record, deadline.Left(), L"relayed record");
  if (n != kRecordSize) throw Exception(Format(L"a reply of %lu bytes arrived", n));
  return std::string(RecordText(record, n));
}

// A child's output pipe: our end overlapped, so that every read is bounded in time, and an
// inheritable write end for the child.
struct TOutputPipe {
  unique_handle read;
  unique_handle write;
};

TOutputPipe NewOutputPipe() {
  const std::wstring path = PipePath(UniquePipeName(L"Output"));
  TOutputPipe pipe;
  pipe.read.reset(CreateNamedPipeW(
      path.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 65536,
      0, nullptr));
  if (!pipe.read) RaiseLastOSError();
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  pipe.write.reset(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, &sa, OPEN_EXISTING, 0, nullptr));
  if (!pipe.write) RaiseLastOSError();
  return pipe;
}
}  // namespace

std::wstring TunnelCommand(const TTunnelBed& bed, const TTunnelServer& server) {
  auto file = [&](const wchar_t* name) { return L" \"" + bed.pki + L"\\" + name + L"\""; };
  return Quoted(bed.openvpn) + L" --client --dev null --proto udp --remote 127.0.0.1 " +
         server.port + L" --nobind --ca" + file(L"ca.crt") + L" --cert" + file(L"client.crt") +
         L" --key" + file(L"client.key") + L" --verb 3 --ping 1 --ping-restart 10";
}

void WarmUpOpenvpn(const TTunnelBed& bed) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  unique_handle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                OPEN_EXISTING, 0, nullptr));
  if (!nul) RaiseLastOSError();
  TChild child = StartProcess(Quoted(bed.openvpn) + L" --version", {nul.get()}, nul.get());
  WaitExitOrKill(child.Process.get(), kEndMs);
}

TTunnelRun TunnelThroughServiceOnce(const TRelayTarget& target, const TTunnelBed& bed,
                                    const TTunnelServer& server) {
  const size_t up_before = WaitServerReady(server);
  unique_handle client = ConnectPipe(target.pipe, kConnectMs, target.server);
  TPipeIo io(client.get());
  const std::string request = ConnectRequest(TunnelCommand(bed, server));
  TRecentLines recent;
  TTunnelRun run;
  try {
    const int64_t start = QpcNow();
    io.WriteMessage(request.data(), static_cast<DWORD>(request.size()), kConnectMs, L"request");
    TDeadline up_deadline(kTunnelUpMs);
    for (;;) {
      const std::string text = ReadRecord(io, up_deadline);
      if (text == kEndMarker)
        throw Exception(L"the run ended before its tunnel was up" + recent.Text());
      recent.Add(text);
      if (text.find(kUp) != std::string::npos) break;
    }
    run.up_ms = MsSince(start);
    WaitServerUp(server, up_before);

    unique_handle openvpn(OpenProcess(SYNCHRONIZE, FALSE, OnlyOpenvpnPid()));
    if (!openvpn) RaiseLastOSError();
    const int64_t end_start = QpcNow();
    io.WriteMessage(kDisconnect, sizeof kDisconnect - 1, kConnectMs, L"disconnect");
    if (WaitForSingleObject(openvpn.get(), kEndMs) != WAIT_OBJECT_0)
      throw Exception(Format(L"openvpn.exe did not end within %lu ms of \"disconnect\"", kEndMs));
    run.end_ms = MsSince(end_start);
    TDeadline end_deadline(kEndMs);
    for (int ends = 0; ends < 2;)
      if (ReadRecord(io, end_deadline) == kEndMarker) ++ends;
    run.markers_ms = MsSince(end_start);
  } catch (const Exception&) {
    // A tunnel left up would keep its server from the next client.
    try {
      io.WriteMessage(kDisconnect, sizeof kDisconnect - 1, kConnectMs, L"disconnect");
    } catch (const Exception&) {
    }
    throw;
  }
  return run;
}

TTunnelRun TunnelDirectOnce(const TTunnelBed& bed, const TTunnelServer& server) {
  const size_t up_before = WaitServerReady(server);
  TOutputPipe output = NewOutputPipe();
  TPipeIo io(output.read.get());
  const std::wstring command = TunnelCommand(bed, server);
  std::wstring directory = ProgramDir();
  directory.pop_back();  // the folder a "connect" request names: no trailing backslash
  TRecentLines recent;
  TTunnelRun run;

  const int64_t start = QpcNow();
  // Killed by its owner on every way out of here.
  TChild child =
      StartProcess(command, {output.write.get()}, output.write.get(), directory.c_str());
  output.write.reset();  // the child holds the only writer: its end breaks our read
  TDeadline up_deadline(kTunnelUpMs);
  std::string pending;
  for (bool up = false; !up;) {
    char chunk[4096];
    DWORD n = 0;
    try {
      n = io.ReadMessage(chunk, sizeof chunk, up_deadline.Left(), L"openvpn.exe's output");
    } catch (const Exception& e) {
      throw Exception(e.Message() + recent.Text());
    }
    pending.append(chunk, n);
    // Whole lines only, ended by CR or LF, as the service splits them.
    for (size_t end; !up && (end = pending.find_first_of("\r\n")) != std::string::npos;) {
      const std::string_view line = std::string_view(pending).substr(0, end);
      up = line.find(kUp) != std::string_view::npos;
      recent.Add(line);
      pending.erase(0, end + 1);
    }
  }
  run.up_ms = MsSince(start);
  WaitServerUp(server, up_before);

  const int64_t end_start = QpcNow();
  if (!TerminateProcess(child.Process.get(), 1)) RaiseLastOSError();
  if (WaitForSingleObject(child.Process.get(), kEndMs) != WAIT_OBJECT_0)
    throw Exception(Format(L"openvpn.exe did not end within %lu ms of TerminateProcess", kEndMs));
  run.end_ms = MsSince(end_start);
  return run;
}

}  // namespace velotarn::bench
