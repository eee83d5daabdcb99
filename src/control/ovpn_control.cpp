#include "control/ovpn_control.h"

#include <algorithm>
#include <cassert>

#include "control/ansi_char_width.h"
#include "control/clean_end.h"
#include "control/exit_event.h"
#include "control/ovpn_thread.h"
#include "control/process_terminator.h"
#include "control/reply_record.h"
#include "control/request_gate.h"
#include "control/request_lines.h"
#include "pipes/pipe_client.h"
#include "pipes/pipe_server.h"
#include "runtime/application.h"
#include "runtime/exceptions.h"
#include "runtime/synchronize.h"
#include "runtime/sys_error.h"
#include "runtime/text.h"

namespace velotarn {

TdmOvpnControl* dmOvpnControl = nullptr;

namespace {

// How long destruction waits for the newest runner to end.
constexpr DWORD kRunnerEndWaitMs = 10000;

std::wstring DecodeRequestBytes(std::string_view Bytes, TRequestEncoding Encoding) {
  return BytesToWide(Bytes, Encoding == TRequestEncoding::Utf8 ? CP_UTF8 : CP_ACP);
}

// Waits during destruction until Event is signalled, up to the deadline. The main thread keeps
// running synchronous calls meanwhile: a runner caught in a delivery when destruction began
// then still gets through its end steps (or its child's last lines), instead of holding the
// wait to its bound. Returns also when Event cannot be waited on (no handle).
void WaitOnMainThread(HANDLE Event, ULONGLONG Deadline) {
  TSyncWait armed;
  HANDLE handles[2] = {Event, armed.Signal()};
  for (;;) {
    ULONGLONG now = GetTickCount64();
    if (now >= Deadline) return;
    DWORD r = WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(Deadline - now));
    if (r != WAIT_OBJECT_0 + 1) return;  // signalled, timed out, or nothing to wait on
    CheckSynchronize();
  }
}

// The last wait for the newest runner's end (a handle signalled once it has ended).
void WaitForRunnerEnd(HANDLE Event, DWORD TimeoutMs) {
  WaitOnMainThread(Event, GetTickCount64() + TimeoutMs);
}

// A handle of our own to the runner's system thread, or none when it cannot be made (the wait
// for it then returns at once).
unique_handle DuplicateThreadHandle(const TOvpnThread& Runner) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), Runner.Handle(), GetCurrentProcess(), &copy, SYNCHRONIZE,
                  FALSE, 0);
  return unique_handle(copy);
}

// Line `index` of a request, or the list error naming the missing index.
const std::wstring& RequestLine(const std::vector<std::wstring>& Lines, size_t Index) {
  if (Index >= Lines.size()) throw EListError(static_cast<int>(Index));
  return Lines[Index];
}

}  // namespace

TdmOvpnControl::TdmOvpnControl(TComponent* AOwner)
    : TdmOvpnControl(AOwner, kOvpnPipeName, ServicePolicyKey()) {}

TdmOvpnControl::TdmOvpnControl(TComponent* AOwner, const std::wstring& PipeName,
                               TPolicyKey PolicyKey)
    : TComponent(AOwner), FCharWidth(AnsiCharWidth()), FPolicyKey(std::move(PolicyKey)) {
  assert(IsMainThread());
  SetName(L"dmOvpnControl");
  CreateComponents(PipeName);
  try {
    DataModuleCreate(this);
  } catch (...) {
    if (Application) Application->HandleException(this);
  }
}

TdmOvpnControl::~TdmOvpnControl() {
  assert(IsMainThread());
  FDestroying = true;  // from here on no request is served
  try {
    DataModuleDestroy(this);
  } catch (...) {
    if (Application) Application->HandleException(this);
  }
  DetachRunners();  // also when the destroy handler did not get that far
  // The components go after this body; their events must not reach a module that is gone.
  PipeServer1->SetOnPipeConnect(nullptr);
  PipeServer1->SetOnPipeMessage(nullptr);
  if (dmOvpnControl == this) dmOvpnControl = nullptr;
}

void TdmOvpnControl::CreateComponents(const std::wstring& PipeName) {
  PipeServer1 = new TPipeServer(this);
  PipeServer1->SetName(L"PipeServer1");
  PipeServer1->SetPipeName(PipeName);
  PipeServer1->SetOnPipeConnect(
      [this](TObject* Sender, HPIPE Pipe) { PipeServer1PipeConnect(Sender, Pipe); });
  PipeServer1->SetOnPipeMessage([this](TObject* Sender, HPIPE Pipe, TMemoryStream* Stream) {
    PipeServer1PipeMessage(Sender, Pipe, Stream);
  });

  // Present with its name and settings, never connected and never used.
  PipeClient1 = new TPipeClient(this);
  PipeClient1->SetName(L"PipeClient1");
  PipeClient1->SetPipeName(L"PipeIn");
}

void TdmOvpnControl::DataModuleCreate(TObject*) {
  FReturnPipe = 0;
  TAccessPolicy policy = ReadAccessPolicy(FPolicyKey);
  PipeServer1->SetClientSids(policy.ClientSidTexts());
  FExitEventWaitMs = policy.ExitEventWaitMs;
  FGate = std::make_unique<TRequestGate>(this, std::move(policy));
  FGate->ReportProblems();
  PipeServer1->SetActive(true);
}

void TdmOvpnControl::DataModuleDestroy(TObject*) {
  assert(IsMainThread());
  // FTh, if set, has not run its terminate handler yet, so it still exists: it cannot free
  // itself before the main thread has run that handler, and the main thread is here. The same
  // holds for every runner in FRunners.
  TOvpnThread* newest = FTh;
  if (!newest) {
    DetachRunners();
    return;
  }
  // Runs with an exit event are asked first and given their bound to end by themselves.
  const std::vector<unique_handle> asked = AskRunsToEnd();
  const ULONGLONG asked_until = GetTickCount64() + FExitEventWaitMs;
  for (const unique_handle& child : asked) WaitOnMainThread(child.get(), asked_until);
  // The newest runner's own thread: signalled once that runner has ended, whatever other runs
  // did to the shared "EXIT_EVENT" before.
  unique_handle newest_end = DuplicateThreadHandle(*newest);
  // Every live run's child goes; only the newest one is waited for.
  for (TOvpnThread* runner : FRunners)
    if (runner != newest) runner->TerminateOvpn(/*WaitMs=*/0);
  newest->TerminateOvpn();
  // Once detached, the runners skip their deliveries and may free themselves at any time:
  // none is touched again.
  DetachRunners();
  WaitForRunnerEnd(newest_end.get(), kRunnerEndWaitMs);
}

void TdmOvpnControl::DetachRunners() noexcept {
  for (TOvpnThread* runner : FRunners) runner->Detach();
  FRunners.clear();
  FTh = nullptr;
}

HANDLE TdmOvpnControl::ClientHandle(HPIPE Pipe) const {
  return PipeServer1->HasClient(Pipe) ? reinterpret_cast<HANDLE>(Pipe) : nullptr;
}

void TdmOvpnControl::PipeServer1PipeConnect(TObject*, HPIPE Pipe) {
  assert(IsMainThread());
  if (FDestroying) return;
  if (FGate && !FGate->AdmitConnection(ClientHandle(Pipe))) {
    PipeServer1->EndClient(Pipe, ERROR_ACCESS_DENIED);
    return;
  }
  FReturnPipe = Pipe;
}

void TdmOvpnControl::PipeServer1PipeMessage(TObject*, HPIPE Pipe, TMemoryStream* Stream) {
  assert(IsMainThread());
  if (FDestroying) return;
  int64_t from = Stream->Position();
  std::string_view bytes(reinterpret_cast<const char*>(Stream->Memory()) + from,
                         static_cast<size_t>(Stream->Size() - from));
  std::vector<std::wstring> lines = DecodeRequestLines(bytes, DecodeRequestBytes);

  const std::wstring& command = RequestLine(lines, 0);
  if (command == L"connect") {
    // Both lines are read before a runner exists: a short request starts nothing and leaves
    // no runner behind.
    const std::wstring& command_line = RequestLine(lines, 1);
    const std::wstring& directory = RequestLine(lines, 2);
    TRequestVerdict verdict;
    verdict.Allowed = true;  // without a gate every request is served
    if (FGate) verdict = FGate->AdmitRequest(ClientHandle(Pipe), true, command_line, directory);
    if (verdict.Allowed) {
      StartRunner(command_line, directory, verdict.ApplicationName);
    } else if (verdict.ClientRefused) {
      SendRecord(Pipe, kEndMarker);  // the sender alone: it never receives the runs' records
    } else {
      SendRecord(kEndMarker);  // as for a program that cannot be started
    }
  } else if (command == L"disconnect") {
    if (!FGate || FGate->AdmitRequest(ClientHandle(Pipe), false, {}, {}).Allowed)
      EndOpenvpnProcesses();  // the outcome is reported nowhere
  }
}

void TdmOvpnControl::EndOpenvpnProcesses() {
  // Opened now: a process started later is not this request's to end.
  std::vector<unique_handle> running = OpenProcessesByName(L"openvpn.exe");
  const std::vector<unique_handle> asked = AskRunsToEnd();
  std::vector<unique_handle> given_time;
  for (unique_handle& process : running) {
    if (HoldsProcess(asked, process.get()))
      given_time.push_back(std::move(process));
    else
      TerminateProcess(process.get(), 0);
  }
  TerminateAfter(std::move(given_time), FExitEventWaitMs);
}

std::vector<unique_handle> TdmOvpnControl::AskRunsToEnd() {
  std::vector<unique_handle> asked;
  if (FExitEventWaitMs == 0) return asked;
  for (TOvpnThread* runner : FRunners) {
    if (runner->FExitEvent.empty()) continue;
    unique_handle child = runner->ChildProcess();
    if (child && SetNamedEvent(runner->FExitEvent)) asked.push_back(std::move(child));
  }
  return asked;
}

void TdmOvpnControl::StartRunner(const std::wstring& CommandLine, const std::wstring& Directory,
                                 const std::wstring& Application) {
  TNewThread<TOvpnThread> made = TThread::New<TOvpnThread>();
  made->OnLine = [this](const std::wstring& Aline) { HandleOvpnLine(Aline); };
  // The run is held back while the client that gets its records reads slower than it writes.
  made->OnBacklog = [this] { return PipeServer1->RoomSignal(FReturnPipe); };
  made->OnTerminate = [this](TThread* Sender) { HandleOvpnTerminate(Sender); };
  made->SetFreeOnTerminate(true);
  made->FCmd = CommandLine;
  made->FOvpnDir = Directory;
  made->FApplication = Application;
  made->FExitEvent = ExitEventOf(CommandLine);
  TOvpnThread* runner = made.Start();
  // Registered after Start: it cannot reach its terminate handler before the main thread,
  // which is here, runs it.
  FTh = runner;
  FRunners.push_back(runner);
}

void TdmOvpnControl::HandleOvpnLine(const std::wstring& Aline) {
  assert(IsMainThread());
  // A line longer than one record goes out as several, cut between characters.
  std::string text = WideToAnsi(Aline);
  for (std::string_view piece : SplitRecordTexts(text, FCharWidth)) SendRecord(piece);
}

void TdmOvpnControl::HandleOvpnTerminate(TObject* Sender) {
  assert(IsMainThread());
  auto it = std::find(FRunners.begin(), FRunners.end(), Sender);
  if (it != FRunners.end()) {
    ReportFailedStart(**it);
    FRunners.erase(it);
  }
  if (Sender == FTh) FTh = nullptr;  // it frees itself when this handler returns
  if (FReturnPipe != 0) SendRecord(kEndMarker);
}

// A runner whose child could not be started ends with one end marker and no output: the log
// says why. Any other error that ended a runner is logged as it is.
void TdmOvpnControl::ReportFailedStart(const TOvpnThread& Runner) {
  const std::exception_ptr failure = Runner.FatalException();
  if (!failure || Application == nullptr) return;
  try {
    std::rethrow_exception(failure);
  } catch (const EStartError& error) {
    Application->HandleError(this, Exception(L"unable to execute command " + LogText(Runner.FCmd) +
                                             L": " + SysErrorMessage(error.ErrorCode())));
  } catch (const Exception& error) {
    Application->HandleError(this, error);
  } catch (...) {
    Application->HandleError(this, Exception(ExceptionMessage(failure)));
  }
}

void TdmOvpnControl::SendRecord(std::string_view Text) { SendRecord(FReturnPipe, Text); }

void TdmOvpnControl::SendRecord(HPIPE Pipe, std::string_view Text) {
  TReplyRecord record = MakeReplyRecord(Text);
  // Refused for a pipe the server does not know (no client yet, or gone): dropped.
  PipeServer1->Write(Pipe, record.data(), static_cast<int32_t>(record.size()));
}

}  // namespace velotarn
