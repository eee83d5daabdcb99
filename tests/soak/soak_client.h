#pragma once
// A raw client of the service's pipe, as a desktop program would be one, and the checks of what
// it receives: every message must be one 1025-byte reply record (text, a zero byte, zeros).

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "record_client.h"

namespace velotarn::test {

// An output line of the soak's child as it arrives in a record: "soak RUN I/COUNT" or, from a
// streaming child, "soak RUN I" (COUNT 0), then CR; every line but a run's first begins with
// the LF of the previous line's CR LF.
struct TSoakLine {
  int run = 0;
  int index = 0;
  int count = 0;
};
bool ParseSoakLine(std::string_view text, TSoakLine* line);

// TSoakClient: one connection to the service's pipe. A TRecordClient (plain waits) keeps a
// read outstanding while connected, also while a request is written, so that the service can
// deliver records at any time; this layer checks each record as it takes it in and keeps its
// text.
//
// Threading: owned and used by one thread.
class TSoakClient {
 public:
  // Opens the pipe, waiting for a free instance for at most `timeout_ms`.
  bool Connect(DWORD timeout_ms = 20000);
  // Writes `bytes` as one message. False when the write failed or did not complete within
  // `timeout_ms` (it is then cancelled).
  bool Send(std::string_view bytes, DWORD timeout_ms = 30000);
  // Takes in records until at least `count` more have come, the pipe has broken, or
  // `timeout_ms` has passed; returns how many came (can be more than `count`).
  size_t Receive(size_t count, DWORD timeout_ms);
  // Takes in records until the text `text` has come `times` more times; false on time-out or a
  // broken pipe.
  bool ReceiveUntil(std::string_view text, int times, DWORD timeout_ms);
  // Leaves: cancels what is outstanding, waits for it to be over, closes the handle.
  void Close() { client_.reset(); }

  bool Connected() const { return client_ && client_->Connected(); }
  // The pipe broke while reading (the service closed its end); the error it broke with.
  bool Broken() const { return client_ && client_->Reader()->Broken(); }
  DWORD BreakError() const { return client_ ? client_->Reader()->BreakError() : 0; }

  // Record texts in arrival order; TakeTexts hands them over and starts a new list.
  const std::vector<std::string>& Texts() { return TakeIn(), texts_; }
  std::vector<std::string> TakeTexts();
  // Messages that were not sound records, described.
  const std::vector<std::string>& Faults() { return TakeIn(), faults_; }
  size_t RecordCount() { return TakeIn(), record_count_; }

 private:
  // Checks and keeps the messages the reader has collected since the last call.
  void TakeIn();
  template <class Done>
  bool WaitUntil(Done done, DWORD timeout_ms);

  std::unique_ptr<TRecordClient> client_;
  std::vector<std::string> texts_;
  std::vector<std::string> faults_;
  size_t record_count_ = 0;
};

}  // namespace velotarn::test
