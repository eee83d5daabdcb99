#pragma once
// A raw client of the service's pipe, as a desktop program would be one, and the checks of what
// it receives: every message must be one 1025-byte reply record (text, a zero byte, zeros).

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "runtime/handles.h"

namespace velotarn::test {

inline constexpr wchar_t kOvpnPipePath[] = L"\\\\.\\pipe\\VelotarnOvpnPipe";
inline constexpr size_t kRecordBytes = 1025;

// Checks one received message as a reply record. Returns "" when it is one and puts its text
// (up to the zero byte) into `text`; otherwise says what is wrong with it.
std::string CheckRecord(const char* data, size_t size, std::string* text);

// An output line of soak_child as it arrives in a record: "soak RUN I/COUNT" or, from a
// streaming child, "soak RUN I" (COUNT 0), then CR; every line but a run's first begins with
// the LF of the previous line's CR LF.
struct TSoakLine {
  int run = 0;
  int index = 0;
  int count = 0;
};
bool ParseSoakLine(std::string_view text, TSoakLine* line);

// Printable form of a record text for failure messages (CR, LF and other bytes escaped).
std::string Printable(std::string_view text);

// TSoakClient: one connection to \\.\pipe\VelotarnOvpnPipe in message read mode, overlapped.
// While connected it always keeps a read outstanding, also while it writes, so that the service
// can deliver records at any time; each record that comes is checked and its text kept.
//
// Threading: owned and used by one thread.
class TSoakClient {
 public:
  TSoakClient();
  ~TSoakClient() { Close(); }
  TSoakClient(const TSoakClient&) = delete;
  TSoakClient& operator=(const TSoakClient&) = delete;

  // Opens the pipe, waiting for a free instance for at most `timeout_ms`.
  bool Connect(DWORD timeout_ms = 20000);
  // Writes `bytes` as one message; records that arrive meanwhile are taken in. False when the
  // write failed or did not complete within `timeout_ms` (it is then cancelled).
  bool Send(std::string_view bytes, DWORD timeout_ms = 30000);
  // Takes in records until at least `count` more have come, the pipe has broken, or
  // `timeout_ms` has passed; returns how many came (records that arrive together are all taken
  // in, so this can be more than `count`).
  size_t Receive(size_t count, DWORD timeout_ms);
  // Takes in records until the text `text` has come `times` more times; false on time-out or a
  // broken pipe.
  bool ReceiveUntil(std::string_view text, int times, DWORD timeout_ms);
  // Leaves: cancels what is outstanding, waits for it to be over, closes the handle.
  void Close();

  bool Connected() const { return pipe_.valid(); }
  // The pipe broke while reading (the service closed its end); the error it broke with.
  bool Broken() const { return broken_; }
  DWORD BreakError() const { return break_error_; }

  // Record texts in arrival order; TakeTexts hands them over and starts a new list.
  const std::vector<std::string>& Texts() const { return texts_; }
  std::vector<std::string> TakeTexts();
  // Messages that were not sound records, described.
  const std::vector<std::string>& Faults() const { return faults_; }
  size_t RecordCount() const { return record_count_; }

 private:
  void StartRead();
  void FinishRead();
  void TakeMessage(DWORD size);
  // One wait for the outstanding operations, taking in whatever completed; false when the
  // deadline passed or nothing can complete.
  bool WaitOnce(ULONGLONG deadline);
  // Waits for outstanding operations until `done` or the deadline; false on the deadline.
  template <class Done>
  bool Pump(ULONGLONG deadline, Done done);
  void CancelAndWait(OVERLAPPED* ov);

  unique_handle pipe_;
  unique_handle read_event_;
  unique_handle write_event_;
  OVERLAPPED read_ov_{};
  OVERLAPPED write_ov_{};
  bool read_pending_ = false;
  bool write_pending_ = false;
  bool write_ok_ = false;
  DWORD write_size_ = 0;
  bool broken_ = false;
  DWORD break_error_ = 0;
  std::vector<char> buffer_;
  std::vector<std::string> texts_;
  std::vector<std::string> faults_;
  size_t record_count_ = 0;
};

}  // namespace velotarn::test
