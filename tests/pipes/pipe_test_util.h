#pragma once
// Raw Win32 pipe clients and small helpers for the pipe tests. A raw client gives the tests
// exact control of the bytes on the pipe; every wait keeps the main thread's loop running (the
// server's threads need it) and is bounded.

#include <windows.h>

#include <optional>
#include <string>

#include "runtime/handles.h"

namespace velotarn::test {

// A pipe name no other test process uses: tag plus this process's id.
std::wstring UniquePipeName(const std::wstring& tag);
std::wstring PipePath(const std::wstring& name);

// Bytes 0..n-1 of a recognisable pattern that depends on `seed`.
std::string Pattern(size_t n, unsigned seed);

// One end of a pipe, driven with overlapped calls and bounded waits.
class RawPipe {
 public:
  bool IsOpen() const { return pipe_.valid(); }
  HANDLE Handle() const { return pipe_.get(); }
  void Close() { pipe_.reset(); }

  // Writes one message; waits (pumping) until it is written.
  bool Send(const std::string& bytes, DWORD timeout_ms = 10000);
  // Reads one whole message, pumping the main loop meanwhile; nothing on time-out or error.
  std::optional<std::string> Receive(DWORD timeout_ms = 10000);
  // The error that ended the last failed Receive (WAIT_TIMEOUT when nothing came).
  DWORD LastError() const { return last_error_; }

 protected:
  unique_handle pipe_;
  DWORD last_error_ = 0;
};

class RawClient : public RawPipe {
 public:
  // Connects to \\.\pipe\<name> (message read mode, overlapped), waiting up to timeout_ms for
  // a free instance; false when that fails.
  bool Open(const std::wstring& name, DWORD timeout_ms = 5000);
};

// A server instance of our own: exact control of the server end.
class RawServer : public RawPipe {
 public:
  bool Create(const std::wstring& name);
  // Lets the instance take a client (it does so after creation, and again after Disconnect
  // only once this has been called).
  bool Listen();
  // Waits (pumping) until a client has connected to the listening instance.
  bool Accept(DWORD timeout_ms = 10000);
  bool Disconnect() { return DisconnectNamedPipe(pipe_.get()) != FALSE; }

 private:
  unique_handle connect_event_;
  OVERLAPPED connect_{};
  bool listening_ = false;
};

// Waits (pumping) until \\.\pipe\<name> has an instance free for a client.
bool WaitServed(const std::wstring& name, DWORD timeout_ms = 5000);

// Number of handles this process holds, and of its threads.
DWORD HandleCount();
DWORD ThreadCount();

}  // namespace velotarn::test
