// The record baseline: overlapped WriteFile of 1025-byte records to every client, one write
// outstanding per connection, completions taken from one I/O completion port.
#include <cstdio>
#include <cstring>
#include <memory>

#include "baseline.h"
#include "bench_util.h"
#include "runtime/exceptions.h"

namespace velotarn::bench {

namespace {
constexpr DWORD kRunMs = 120000;

struct TConnection {
  unique_handle Pipe;
  OVERLAPPED ReadOv{};  // the connect, then the "go" read, then the wait for the client's close
  OVERLAPPED WriteOv{};
  char Record[kRecordSize] = {};
  char Incoming[64] = {};
  long Sent = 0;
  bool ReadPending = false;
  bool WritePending = false;
};

class TRecordServer {
 public:
  TRecordServer(const wchar_t* name, int clients, long per_client)
      : per_client_(per_client), port_(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1)) {
    if (!port_) RaiseLastOSError();
    for (int i = 0; i < clients; ++i) {
      auto c = std::make_unique<TConnection>();
      c->Pipe.reset(CreateNamedPipeW(PipePath(name).c_str(),
                                     PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, 0, 0, 1000, nullptr));
      if (!c->Pipe) RaiseLastOSError();
      if (!CreateIoCompletionPort(c->Pipe.get(), port_.get(), static_cast<ULONG_PTR>(i), 0))
        RaiseLastOSError();
      if (ConnectNamedPipe(c->Pipe.get(), &c->ReadOv) || GetLastError() == ERROR_IO_PENDING)
        c->ReadPending = true;  // a completion comes through the port either way
      else if (GetLastError() != ERROR_PIPE_CONNECTED)
        RaiseLastOSError();
      connections_.push_back(std::move(c));
    }
  }

  // Outstanding operations refer to the connections: cancel them and take their completions
  // before anything is freed.
  ~TRecordServer() {
    for (auto& c : connections_) CancelIoEx(c->Pipe.get(), nullptr);
    TDeadline deadline(5000);
    while (Pending() > 0 && !deadline.Passed()) {
      DWORD n;
      ULONG_PTR key;
      OVERLAPPED* ov = nullptr;
      GetQueuedCompletionStatus(port_.get(), &n, &key, &ov, deadline.Left());
      if (ov != nullptr) Settle(key, ov);
    }
    if (Pending() > 0) {
      std::fprintf(stderr, "bench_baseline records: operations left in flight; keeping them\n");
      for (auto& c : connections_) (void)c.release();  // never free memory the system may write
    }
  }

  void Run() {
    TDeadline deadline(kRunMs);
    // Every client connects, then the first one says "go".
    size_t connected = connections_.size() - Pending();  // those already connected at creation
    while (connected < connections_.size()) {
      Next(deadline);
      ++connected;
    }
    StartRead(*connections_[0]);
    Next(deadline);
    for (auto& c : connections_) StartWrite(*c);
    long total = 0;
    const long expected = per_client_ * static_cast<long>(connections_.size());
    while (total < expected) {
      ULONG_PTR key = Next(deadline);
      TConnection& c = *connections_[key];
      ++total;
      if (c.Sent < per_client_) StartWrite(c);
    }
    // Stay until every client has read its records and gone (a client that has gone already
    // fails the read at once).
    size_t waiting = 0;
    for (auto& c : connections_) {
      c->ReadPending = true;
      if (ReadFile(c->Pipe.get(), c->Incoming, sizeof c->Incoming, nullptr, &c->ReadOv) ||
          GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA)
        ++waiting;
      else
        c->ReadPending = false;
    }
    for (; waiting > 0; --waiting) Next(deadline, /*failure_ok=*/true);
  }

 private:
  void StartRead(TConnection& c) {
    c.ReadPending = true;
    if (!ReadFile(c.Pipe.get(), c.Incoming, sizeof c.Incoming, nullptr, &c.ReadOv) &&
        GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
      c.ReadPending = false;
      RaiseLastOSError();
    }
  }

  void StartWrite(TConnection& c) {
    std::snprintf(c.Record, sizeof c.Record, "R%ld", c.Sent++);
    c.WritePending = true;
    if (!WriteFile(c.Pipe.get(), c.Record, kRecordSize, nullptr, &c.WriteOv) &&
        GetLastError() != ERROR_IO_PENDING) {
      c.WritePending = false;
      RaiseLastOSError();
    }
  }

  // The next completion: settles its operation and returns its connection's index.
  ULONG_PTR Next(const TDeadline& deadline, bool failure_ok = false) {
    DWORD n = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* ov = nullptr;
    BOOL ok = GetQueuedCompletionStatus(port_.get(), &n, &key, &ov, deadline.Left());
    if (ov == nullptr) throw Exception(L"records baseline: timed out");
    Settle(key, ov);
    if (!ok && !failure_ok && GetLastError() != ERROR_MORE_DATA) RaiseLastOSError();
    return key;
  }

  void Settle(ULONG_PTR key, OVERLAPPED* ov) {
    TConnection& c = *connections_[key];
    if (ov == &c.ReadOv) c.ReadPending = false;
    if (ov == &c.WriteOv) c.WritePending = false;
  }

  size_t Pending() const {
    size_t n = 0;
    for (auto& c : connections_) n += c->ReadPending + c->WritePending;
    return n;
  }

  long per_client_;
  unique_handle port_;
  std::vector<std::unique_ptr<TConnection>> connections_;
};
}  // namespace

int RunRecordsBaseline(int, wchar_t** argv) {
  int clients = static_cast<int>(std::wcstol(argv[4], nullptr, 10));
  long per_client = std::wcstol(argv[5], nullptr, 10);
  TRecordServer server(argv[2], clients, per_client);
  SetEvent(ParseHandleArg(argv[3]));
  server.Run();
  return 0;
}

}  // namespace velotarn::bench
