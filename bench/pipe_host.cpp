// bench_pipe_host.exe <pipe> <clients> <records per client>: a TPipeServer on the main thread,
// as the control module runs it. Once <clients> clients are connected and the first has sent
// a message, it queues <records per client> 1025-byte records for every client with
// TPipeServer::Write, then runs until every client has gone.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "bench_util.h"
#include "pipes/pipe_server.h"
#include "runtime/application.h"
#include "runtime/exceptions.h"

namespace {
using namespace velotarn;

class TRecordHost {
 public:
  TRecordHost(TApplication& app, const wchar_t* pipe_name, int clients, long per_client)
      : clients_(clients), per_client_(per_client), server_(std::make_unique<TPipeServer>(nullptr)) {
    (void)app;  // the server needs the application object's loop, not its ownership
    server_->SetPipeName(pipe_name);
    server_->SetOnPipeConnect([this](TObject*, HPIPE) { MaybeStart(); });
    server_->SetOnPipeMessage([this](TObject*, HPIPE, TMemoryStream*) {
      go_ = true;
      MaybeStart();
    });
    server_->SetOnPipeDisconnect([this](TObject*, HPIPE) {
      if (++gone_ == clients_) done_ = true;
    });
    server_->SetActive(true);
  }

  bool Done() const noexcept { return done_; }
  bool Failed() const noexcept { return failed_; }

 private:
  void MaybeStart() {
    if (!go_ || started_ || server_->ClientCount() < clients_) return;
    started_ = true;
    char record[bench::kRecordSize] = {};
    for (long r = 0; r < per_client_; ++r) {
      std::snprintf(record, sizeof record, "R%ld", r);
      for (int i = 0; i < server_->ClientCount(); ++i)
        if (!server_->Write(server_->Clients(i), record, bench::kRecordSize)) failed_ = true;
    }
  }

  int clients_;
  long per_client_;
  // Owned here, not by the application object: it must go before the handlers' object does.
  std::unique_ptr<TPipeServer> server_;
  bool go_ = false;
  bool started_ = false;
  bool failed_ = false;
  bool done_ = false;
  int gone_ = 0;
};
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: bench_pipe_host <pipe> <clients> <records per client>\n");
    return 1;
  }
  try {
    TApplication app;
    TRecordHost host(app, argv[1], static_cast<int>(std::wcstol(argv[2], nullptr, 10)),
                     std::wcstol(argv[3], nullptr, 10));
    while (!host.Done() && !app.Terminated()) app.HandleMessage();
    return host.Failed() ? 3 : 0;
  } catch (const Exception& e) {
    std::fprintf(stderr, "bench_pipe_host: %ls\n", e.Message().c_str());
    return 2;
  }
}
