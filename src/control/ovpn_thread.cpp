#include "control/ovpn_thread.h"

#include <cassert>
#include <exception>
#include <vector>

#include "control/ansi_char_width.h"
#include "control/child_start.h"
#include "control/line_splitter.h"
#include "runtime/exceptions.h"
#include "runtime/exit_code.h"
#include "runtime/scope_exit.h"
#include "runtime/text.h"

namespace velotarn {

namespace {

// Opens the shared event, or creates it when no runner holds it yet. A failure leaves an empty
// owner: signalling and waiting on it then fail harmlessly.
std::shared_ptr<const unique_handle> OpenExitEvent() {
  return std::make_shared<const unique_handle>(
      CreateEventW(nullptr, FALSE, FALSE, kExitEventName));
}

// The runs whose child watches "EXIT_EVENT" itself. The event is auto-reset and shared by every
// runner, so one run's end would end such a child, or leave a signal that ends the next one at
// its start; the count, under its lock, keeps both from happening.
std::mutex g_shared_watch_lock;
int g_shared_watchers = 0;

bool NamesSharedEvent(const std::wstring& Name) {
  // Object names are compared without regard to case.
  return CompareStringOrdinal(Name.c_str(), -1, kExitEventName, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

TOvpnThread::TOvpnThread()
    : TThread(true),
      FEvent(OpenExitEvent()),
      FWakeEv(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

TOvpnThread::~TOvpnThread() = default;

void TOvpnThread::Detach() noexcept {
  assert(IsMainThread());
  FDetached.store(true);
}

bool TOvpnThread::StartOvpn(const std::wstring& CommandLine, const std::wstring& Directory) {
  TChildOutputPipe pipe = CreateChildOutputPipe();
  unique_handle input = InheritableStdInput();

  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof(si);
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  si.StartupInfo.wShowWindow = SW_HIDE;
  // Without a standard input of its own to pass on, the child gets the value as it is.
  si.StartupInfo.hStdInput = input ? input.get() : GetStdHandle(STD_INPUT_HANDLE);
  si.StartupInfo.hStdOutput = pipe.Write.get();
  si.StartupInfo.hStdError = pipe.Write.get();

  std::vector<HANDLE> inherited{pipe.Write.get()};
  if (input) inherited.push_back(input.get());
  TInheritedHandleList list(std::move(inherited));
  si.lpAttributeList = list.Get();

  PROCESS_INFORMATION pi{};
  std::lock_guard<std::mutex> guard(FProcessLock);
  if (!FOvpnEnded && !FWatchesShared && NamesSharedEvent(FExitEvent)) {
    std::lock_guard<std::mutex> watch(g_shared_watch_lock);
    ++g_shared_watchers;
    FWatchesShared = true;
    ResetEvent(FEvent->get());  // an earlier run's end must not end this child at once
  }
  if (FOvpnEnded) {
    // Terminated before the child existed: start none. The write end closes below, so the
    // read sees the end of the output at once and the run ends normally.
    FReadPipe = std::move(pipe.Read);
    return true;
  }
  const auto create = [&] {
    std::wstring command = CommandLine;  // CreateProcessW may write into its command line
    // Suspended until it belongs to the job: not one instruction of it runs outside.
    // With an application name nothing but that file can run: an unquoted "C:\Program
    // Files\..." is not tried as "C:\Program.exe" first.
    const wchar_t* application = FApplication.empty() ? nullptr : FApplication.c_str();
    return CreateProcessW(application, command.data(), nullptr, nullptr, TRUE,
                          NORMAL_PRIORITY_CLASS | EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED,
                          nullptr, Directory.c_str(), &si.StartupInfo, &pi) != FALSE;
  };
  // Under load, Wine now and then fails a start with ERROR_INTERNAL_ERROR (the soak meets it
  // about once in a few thousand starts): the new process did not come up, and a second
  // attempt starts it. Every other failure is the command's own and final.
  bool created = create();
  if (!created && GetLastError() == ERROR_INTERNAL_ERROR) created = create();
  if (!created) throw EStartError(CommandLine, GetLastError());
  unique_handle process(pi.hProcess);
  unique_handle thread(pi.hThread);
  // A child that cannot join the job could outlive the service: it never runs.
  if (!AssignProcessToJobObject(ChildJob(), process.get()) ||
      ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    const DWORD error = GetLastError();
    TerminateProcess(process.get(), static_cast<UINT>(ExitCode()));
    throw EStartError(CommandLine, error);
  }
  FOPVNProcess = std::move(process);
  FOPVNThread = std::move(thread);
  FReadPipe = std::move(pipe.Read);
  // pipe.Write closes on return: the child now holds the only writer, so the read ends when
  // the child (and whatever it passed the handle on to) is gone.
  return true;
}

void TOvpnThread::TerminateOvpn(DWORD WaitMs) {
  SetEvent(FWakeEv.get());  // a runner held back by a backlog reads on and meets the end
  unique_handle process;
  unique_handle thread;
  {
    std::lock_guard<std::mutex> guard(FProcessLock);
    FOvpnEnded = true;
    process = std::move(FOPVNProcess);
    thread = std::move(FOPVNThread);
  }
  if (!process) return;
  // A child that has already ended makes this fail; the wait below then returns at once.
  TerminateProcess(process.get(), static_cast<UINT>(ExitCode()));
  if (WaitMs != 0) WaitForSingleObject(process.get(), WaitMs);  // ended or not, we let go
}

unique_handle TOvpnThread::ChildProcess() {
  std::lock_guard<std::mutex> guard(FProcessLock);
  HANDLE copy = nullptr;
  if (FOPVNProcess)
    DuplicateHandle(GetCurrentProcess(), FOPVNProcess.get(), GetCurrentProcess(), &copy,
                    SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0);
  return unique_handle(copy);
}

void TOvpnThread::SignalEnd() {
  std::lock_guard<std::mutex> watch(g_shared_watch_lock);
  if (FWatchesShared) {
    --g_shared_watchers;
    FWatchesShared = false;
  }
  if (g_shared_watchers == 0) SetEvent(FEvent->get());
}

void TOvpnThread::Execute() {
  if (Terminated()) return;
  ScopeExit signal{[this] { SignalEnd(); }};
  StartOvpn(FCmd, FOvpnDir);

  std::exception_ptr error;
  try {
    ReadOutput();
  } catch (...) {
    error = std::current_exception();
  }
  // The end steps run however the read loop was left.
  try {
    FLineCount = 0;  // lines that could not be delivered (the read loop raised) are dropped
    AddLine("#END#");
    DeliverLines(/*AskBacklog=*/false);
  } catch (...) {
    if (!error) error = std::current_exception();
  }
  TerminateOvpn();
  FReadPipe.reset();
  if (error) std::rethrow_exception(error);
}

void TOvpnThread::ReadOutput() {
  TLineSplitter splitter(AnsiCharWidth());
  const TLineSplitter::TEmit emit = [this](std::string_view line) { AddLine(line); };
  char chunk[TLineSplitter::kChunkSize];
  for (;;) {
    DWORD received = 0;
    BOOL ok = ReadFile(FReadPipe.get(), chunk, sizeof(chunk), &received, nullptr);
    splitter.Feed(chunk, received, emit);
    // Fails with ERROR_BROKEN_PIPE once every writer is gone: the output has ended.
    const bool ended = !ok || received == 0 || Terminated();
    DeliverLines(/*AskBacklog=*/!ended);  // every line this read completed, in one call
    if (ended) break;
    WaitForBacklog();
  }
  // Bytes after the last CR are an unfinished line: dropped with the splitter.
}

void TOvpnThread::AddLine(std::string_view Line) {
  if (FLineCount == FLines.size()) FLines.emplace_back();
  AnsiToWide(Line, FLines[FLineCount]);  // into the string's own room, kept from read to read
  ++FLineCount;
}

void TOvpnThread::DeliverLines(bool AskBacklog) {
  if (FLineCount == 0) return;
  ScopeExit delivered{[this] { FLineCount = 0; }};
  if (FDetached.load()) return;  // nobody to deliver to: the run ends without the main thread
  Synchronize([this, AskBacklog] { DoLines(AskBacklog); });
}

void TOvpnThread::DoLines(bool AskBacklog) {
  assert(IsMainThread());
  for (size_t i = 0; i < FLineCount; ++i) {
    // A call queued just before Detach still runs; it must not reach the detached owner.
    if (FDetached.load()) return;
    if (OnLine) OnLine(FLines[i]);
  }
  if (AskBacklog && !FDetached.load() && OnBacklog) FBacklog = OnBacklog();
}

void TOvpnThread::WaitForBacklog() {
  unique_handle backlog = std::move(FBacklog);
  if (!backlog) return;
  const HANDLE waits[2] = {backlog.get(), FWakeEv.get()};
  WaitForMultipleObjects(FWakeEv ? 2 : 1, waits, FALSE, kOvpnBacklogWaitMs);
}

void TOvpnThread::DoTerminate() {
  if (FDetached.load() || !OnTerminate) return;
  Synchronize([this] {
    if (!FDetached.load() && OnTerminate) OnTerminate(this);
  });
}

}  // namespace velotarn
