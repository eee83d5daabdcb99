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

class RawClient {
 public:
  // Connects to \\.\pipe\<name> (message read mode, overlapped), waiting up to timeout_ms for
  // a free instance; false when that fails.
  bool Open(const std::wstring& name, DWORD timeout_ms = 5000);
  bool IsOpen() const { return pipe_.valid(); }
  HANDLE Handle() const { return pipe_.get(); }
  void Close() { pipe_.reset(); }

  // Writes one message; waits (pumping) until it is written.
  bool Send(const std::string& bytes, DWORD timeout_ms = 10000);
  // Reads one whole message, pumping the main loop meanwhile; nothing on time-out or error.
  std::optional<std::string> Receive(DWORD timeout_ms = 10000);
  // The error that ended the last failed Receive (ERROR_BROKEN_PIPE when the server closed).
  DWORD LastError() const { return last_error_; }

 private:
  unique_handle pipe_;
  DWORD last_error_ = 0;
};

// Number of handles this process holds.
DWORD HandleCount();

}  // namespace velotarn::test
