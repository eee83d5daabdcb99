#pragma once
// TdmOvpnControl: the service's worker object. Its pipe server listens on "VelotarnOvpnPipe";
// every message a client sends is one request: "connect" starts an OpenVPN runner on the
// command line and directory that follow, "disconnect" ends every "openvpn.exe". Each output
// line of a run goes back as 1025-byte reply records to the client that connected last,
// followed by two "#END#" markers (one after the output, one when the runner has finished).
//
// Errors raised by the create and destroy handlers go to Application->HandleException(this)
// and no further; errors of the message handler (a short request) leave it and reach the
// main thread's loop.
//
// Threading: created, used and destroyed on the main thread only; every handler runs there.
// Runners reach it only through synchronous main-thread calls, and are detached from it when
// its destruction begins, so that no runner callback reaches a module being destroyed.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "control/char_width.h"
#include "pipes/pipe_types.h"
#include "runtime/component.h"
#include "runtime/memory_stream.h"

namespace velotarn {

class TPipeServer;
class TPipeClient;
class TOvpnThread;

// The pipe the module serves, without the \\.\pipe\ prefix.
inline constexpr wchar_t kOvpnPipeName[] = L"VelotarnOvpnPipe";

class TdmOvpnControl : public TComponent {
 public:
  explicit TdmOvpnControl(TComponent* AOwner);
  // Serves `PipeName` instead of kOvpnPipeName: lets tests run side by side.
  TdmOvpnControl(TComponent* AOwner, const std::wstring& PipeName);
  ~TdmOvpnControl() override;

  // Owned components.
  TPipeServer* PipeServer1 = nullptr;
  TPipeClient* PipeClient1 = nullptr;

  void DataModuleCreate(TObject* Sender);
  void DataModuleDestroy(TObject* Sender);
  void PipeServer1PipeConnect(TObject* Sender, HPIPE Pipe);
  void PipeServer1PipeMessage(TObject* Sender, HPIPE Pipe, TMemoryStream* Stream);
  void HandleOvpnLine(const std::wstring& Aline);
  void HandleOvpnTerminate(TObject* Sender);

  // The runner of the most recent "connect" while it has not finished (none otherwise), and
  // the client that receives every record.
  TOvpnThread* Th() const noexcept { return FTh; }
  HPIPE ReturnPipe() const noexcept { return FReturnPipe; }

 private:
  void CreateComponents(const std::wstring& PipeName);
  void StartRunner(const std::wstring& CommandLine, const std::wstring& Directory);
  void SendRecord(std::string_view Text);
  void DetachRunners() noexcept;

  TOvpnThread* FTh = nullptr;
  HPIPE FReturnPipe = 0;
  // Every runner whose terminate handler has not run yet: each is alive (it cannot free itself
  // before that handler has run here) and is detached when destruction begins.
  std::vector<TOvpnThread*> FRunners;
  bool FDestroying = false;
  TCharWidth FCharWidth;  // of the ANSI code page: records are cut between characters
};

// The module created by the service host with Application->CreateForm(dmOvpnControl).
extern TdmOvpnControl* dmOvpnControl;

}  // namespace velotarn
