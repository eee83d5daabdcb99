#include "velotarnctl/ctl_session.h"

#include <cassert>
#include <optional>

#include "control/reply_record.h"
#include "control/request_lines.h"
#include "pipes/pipe_client.h"
#include "runtime/application.h"
#include "runtime/synchronize.h"
#include "runtime/sys_error.h"
#include "runtime/text.h"
#include "velotarnctl/ctl_interrupt.h"
#include "velotarnctl/ctl_output.h"

namespace velotarn {

namespace {

// How long Connect waits for a free pipe instance when no --timeout bounds it.
constexpr DWORD kConnectWaitMs = 5000;
// How long a run may take from its first end marker to its second. The second follows the
// first at once when the program ran; a program that could not be started (or was refused)
// gets the first alone.
constexpr DWORD kSecondMarkerWaitMs = 5000;

// The request in UTF-8 with its byte-order mark, so that any character of the command line
// and directory reaches the service unchanged.
std::string BuildRequest(const TCtlOptions& Options) {
  if (Options.Command != TCtlCommand::Connect) return EncodeRequest(TRequestCommand::Disconnect);
  return EncodeRequest(TRequestCommand::Connect, WideToUtf8(Options.CommandLine),
                       WideToUtf8(Options.Directory), TRequestEncoding::Utf8);
}

std::wstring WithReason(std::wstring Message, DWORD Error) {
  std::wstring reason = Error ? SysErrorMessage(Error) : L"";
  if (!reason.empty()) Message += L" (" + reason + L")";
  return Message;
}

// Ends the main loop at a given moment: a thread timer's WM_TIMER wakes the loop, which then
// sees the deadline has passed. No timer without a bound.
class TDeadline {
 public:
  explicit TDeadline(uint32_t Ms)
      : FEnd(Ms ? GetTickCount64() + Ms : 0), FTimer(Ms ? SetTimer(nullptr, 0, Ms, nullptr) : 0) {}
  ~TDeadline() {
    if (FTimer) KillTimer(nullptr, FTimer);
  }
  TDeadline(const TDeadline&) = delete;
  TDeadline& operator=(const TDeadline&) = delete;
  bool Passed() const { return FEnd != 0 && GetTickCount64() >= FEnd; }

 private:
  ULONGLONG FEnd;
  UINT_PTR FTimer;
};

}  // namespace

int RunCtlSession(const TCtlOptions& Options) {
  assert(IsMainThread() && Application != nullptr);
  const std::wstring path = L"\\\\.\\pipe\\" + Options.PipeName;
  TPipeClient client(nullptr);
  try {
    client.SetPipeName(Options.PipeName);
  } catch (const Exception& e) {
    PrintError(L"velotarnctl: " + e.Message());
    return kCtlUsage;
  }

  std::optional<int> result;
  std::wstring failure;
  auto finish = [&](int code, std::wstring message) {
    if (result) return;
    result = code;
    failure = std::move(message);
  };
  const bool connecting = Options.Command == TCtlCommand::Connect;
  TRecordPrinter printer(GetStdHandle(STD_OUTPUT_HANDLE));
  int markers = 0;
  std::optional<TDeadline> second_marker;  // armed by the first end marker
  DWORD pipe_error = 0;
  bool disconnect_sent = false;

  client.SetOnPipeMessage([&](TObject*, HPIPE, TMemoryStream* Stream) {
    if (result) return;
    std::string_view text =
        RecordText(reinterpret_cast<const char*>(Stream->Memory()), static_cast<size_t>(Stream->Size()));
    // A run ends with two end markers: one after its output, one when its runner finished.
    if (!printer.Print(text) || !connecting) return;
    if (++markers == 2)
      finish(disconnect_sent ? kCtlEndedOnRequest : kCtlDone, L"");
    else
      second_marker.emplace(kSecondMarkerWaitMs);
  });
  client.SetOnPipeSent([&](TObject*, HPIPE, uint32_t) {
    if (!connecting) finish(kCtlDone, L"");  // "disconnect" has no reply of its own
  });
  client.SetOnPipeError([&](TObject*, HPIPE, TPipeContext, int32_t ErrorCode) {
    pipe_error = static_cast<DWORD>(ErrorCode);
  });
  client.SetOnPipeDisconnect([&](TObject*, HPIPE) {
    finish(kCtlDropped, WithReason(L"velotarnctl: the connection to " + path + L" dropped",
                                   pipe_error));
  });

  const DWORD connect_wait =
      Options.TimeoutMs && Options.TimeoutMs < kConnectWaitMs ? Options.TimeoutMs : kConnectWaitMs;
  if (!client.Connect(connect_wait)) {
    PrintError(WithReason(L"velotarnctl: nothing serves " + path, GetLastError()));
    return kCtlNoServer;
  }
  // From the moment the request goes out, Ctrl+C asks the service to end the run instead of
  // leaving it behind; a second one leaves at once (the program may not be an openvpn.exe).
  std::optional<TCtlInterrupt> interrupt;
  if (connecting) interrupt.emplace(Application->Handle());
  auto take_interrupt = [&] {
    if (!interrupt || interrupt->Count() == 0) return;
    if (interrupt->Count() >= 2) {
      finish(kCtlInterruptedTwice,
             L"velotarnctl: interrupted again: left before the run had ended");
    } else if (!disconnect_sent) {
      std::string disconnect = EncodeRequest(TRequestCommand::Disconnect);
      if (!client.Write(disconnect.data(), static_cast<int32_t>(disconnect.size()))) {
        finish(kCtlSendFailed,
               L"velotarnctl: interrupted: the disconnect request could not be sent");
        return;
      }
      disconnect_sent = true;
      PrintError(L"velotarnctl: interrupted: disconnect sent");
    }
  };
  std::string request = BuildRequest(Options);
  if (!client.Write(request.data(), static_cast<int32_t>(request.size()))) {
    PrintError(L"velotarnctl: the request could not be sent to " + path);
    return kCtlSendFailed;
  }

  TDeadline deadline(Options.TimeoutMs);
  while (!result) {
    Application->HandleMessage();  // the handler's WM_NULL, if nothing else, ends the wait
    take_interrupt();
    if (Application->Terminated()) finish(kCtlDropped, L"velotarnctl: stopped");
    if (deadline.Passed())
      finish(kCtlTimedOut, Format(L"velotarnctl: no end after %u s", Options.TimeoutMs / 1000));
    if (second_marker && second_marker->Passed())
      finish(kCtlNotStarted,
             Format(L"velotarnctl: no second end marker within %u s: the program may not have "
                    L"started (see the service's entries in the event log)",
                    kSecondMarkerWaitMs / 1000));
  }
  client.Disconnect(true);
  if (!failure.empty()) PrintError(failure);
  return *result;
}

}  // namespace velotarn
