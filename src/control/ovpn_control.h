#pragma once
// TdmOvpnControl: the service's worker object. Its pipe server listens on "VelotarnOvpnPipe";
// every message a client sends is one request: "connect" starts an OpenVPN runner on the
// command line and directory that follow, "disconnect" ends every "openvpn.exe" (a run whose
// command line names an exit event is asked by that event first and given ExitEventWaitMs to
// end by itself; so is every such run when the module is destroyed). Each output
// line of a run goes back as 1025-byte reply records to the client that connected last,
// followed by two "#END#" markers (one after the output, one when the runner has finished).
//
// The access policy (see access_policy.h) is read when the pipe is activated: it narrows who
// may connect and send requests and which programs "connect" may start, and can record every
// served request. A refused "connect" gets one end marker, like a program that cannot be
// started; a client that may not send requests never becomes the one that receives replies and
// its connection is ended. Refusals, and runs whose program could not be started, are logged.
//
// Errors raised by the create and destroy handlers go to Application->HandleException(this)
// and no further; errors of the message handler (a short request) leave it and reach the
// main thread's loop.
//
// Threading: created, used and destroyed on the main thread only; every handler runs there.
// Runners reach it only through synchronous main-thread calls, and are detached from it when
// its destruction begins, so that no runner callback reaches a module being destroyed.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "control/access_policy.h"
#include "control/char_width.h"
#include "pipes/pipe_types.h"
#include "runtime/component.h"
#include "runtime/handles.h"
#include "runtime/memory_stream.h"

namespace velotarn {

class TPipeServer;
class TPipeClient;
class TOvpnThread;
class TRequestGate;

// The pipe the module serves, without the \\.\pipe\ prefix.
inline constexpr wchar_t kOvpnPipeName[] = L"VelotarnOvpnPipe";

class TdmOvpnControl : public TComponent {
 public:
  // Serves kOvpnPipeName under the policy of the service's key (ServicePolicyKey).
  explicit TdmOvpnControl(TComponent* AOwner);
  // Serves `PipeName` instead, under the policy read from PolicyKey (none by default): lets
  // tests run side by side.
  TdmOvpnControl(TComponent* AOwner, const std::wstring& PipeName, TPolicyKey PolicyKey = {});
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
  void StartRunner(const std::wstring& CommandLine, const std::wstring& Directory,
                   const std::wstring& Application);
  void ReportFailedStart(const TOvpnThread& Runner);
  void SendRecord(std::string_view Text);
  void SendRecord(HPIPE Pipe, std::string_view Text);
  // The open handle of a registered client, null once it has gone.
  HANDLE ClientHandle(HPIPE Pipe) const;
  void DetachRunners() noexcept;
  // "disconnect": every openvpn.exe running now ends, those of runs with an exit event within
  // FExitEventWaitMs, without holding up the main thread.
  void EndOpenvpnProcesses();
  // Sets the exit event of every live run that names one; their children, as handles.
  std::vector<unique_handle> AskRunsToEnd();

  TOvpnThread* FTh = nullptr;
  HPIPE FReturnPipe = 0;
  // Every runner whose terminate handler has not run yet: each is alive (it cannot free itself
  // before that handler has run here) and is detached when destruction begins.
  std::vector<TOvpnThread*> FRunners;
  bool FDestroying = false;
  TCharWidth FCharWidth;  // of the ANSI code page: records are cut between characters
  const TPolicyKey FPolicyKey;
  std::unique_ptr<TRequestGate> FGate;  // made with the policy when the pipe is activated
  DWORD FExitEventWaitMs = kExitEventWaitMs;  // from the policy
};

// The module created by the service host with Application->CreateForm(dmOvpnControl).
extern TdmOvpnControl* dmOvpnControl;

}  // namespace velotarn
