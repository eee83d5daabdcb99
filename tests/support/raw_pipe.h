#pragma once
// One end of a message-mode pipe driven with bare overlapped calls, so that tests control the
// bytes on the pipe exactly and independently of the pipe components. It is either a client
// (Open) or a server instance of our own (Create, Listen, Accept, Disconnect). Every wait is
// bounded and goes through the end's wait function: PumpWait keeps the main thread's loop
// running (the pipe components and the control module need it), PlainWait only blocks.
//
// Threading: one thread drives the end, except that one thread may Receive while another
// Sends (each call has its own OVERLAPPED and event). Open, Create, Close and the server calls
// must not overlap with anything else.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/handles.h"

namespace velotarn::test {

// Waits until `event` is signalled or `timeout_ms` has passed; true when it was signalled.
using TWait = std::function<bool(HANDLE event, DWORD timeout_ms)>;
bool PumpWait(HANDLE event, DWORD timeout_ms);  // runs the main loop meanwhile
bool PlainWait(HANDLE event, DWORD timeout_ms);

std::wstring PipePath(const std::wstring& name);

// Waits (pumping) until \\.\pipe\<name> has an instance free for a client.
bool WaitServed(const std::wstring& name, DWORD timeout_ms = 5000);

class RawPipe {
 public:
  explicit RawPipe(TWait wait = PumpWait) : wait_(std::move(wait)) {}
  RawPipe(RawPipe&&) = default;
  RawPipe& operator=(RawPipe&&) = default;

  void SetWait(TWait wait) { wait_ = std::move(wait); }
  const TWait& Wait() const { return wait_; }
  bool IsOpen() const { return pipe_.valid(); }
  HANDLE Handle() const { return pipe_.get(); }
  void Close() { pipe_.reset(); }

  // Client: connects to \\.\pipe\<name> in message read mode, waiting up to timeout_ms for the
  // name to appear and an instance to be free.
  bool Open(const std::wstring& name, DWORD timeout_ms = 5000);

  // Server: a fresh instance of \\.\pipe\<name>.
  bool Create(const std::wstring& name);
  // Lets the instance take a client (done by Accept after creation; after Disconnect only once
  // this has been called).
  bool Listen();
  // Waits until a client has connected to the listening instance.
  bool Accept(DWORD timeout_ms = 10000);
  bool Disconnect() { return DisconnectNamedPipe(pipe_.get()) != FALSE; }

  // Writes one message and waits until it is written; a write that does not finish in time is
  // cancelled.
  bool Send(std::string_view bytes, DWORD timeout_ms = 10000);
  // Reads one whole message; nothing on time-out or error (see LastError).
  std::optional<std::string> Receive(DWORD timeout_ms = 10000) { return Receive(timeout_ms, wait_); }
  // The same with a wait of the caller's (a reader thread's own).
  std::optional<std::string> Receive(DWORD timeout_ms, const TWait& wait);
  // The error that ended the last failed Receive (WAIT_TIMEOUT when nothing came in time); it
  // belongs to the thread that receives.
  DWORD LastError() const { return last_error_; }

 private:
  // Waits for an operation on `ov`; on time-out cancels it and waits until it is over (its
  // buffer and OVERLAPPED are the caller's until then). False on time-out.
  bool Finish(OVERLAPPED* ov, DWORD timeout_ms, const TWait& wait);

  TWait wait_;
  unique_handle pipe_;
  unique_handle connect_event_;
  OVERLAPPED connect_{};
  bool listening_ = false;
  DWORD last_error_ = 0;
};

}  // namespace velotarn::test
