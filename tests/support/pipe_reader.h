#pragma once
// Keeps a read outstanding on an open RawPipe at all times, on a thread of its own, and
// collects every message that arrives, whole. The owner meanwhile sends on the same pipe, so
// a peer can deliver at any moment, also while a long write is under way.
//
// Threading: constructed, waited on and destroyed by one owner thread; the reader thread
// touches only the collected messages and the break state, under a lock. Stop (or the
// destructor) must run before the pipe is closed.

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "raw_pipe.h"
#include "runtime/handles.h"

namespace velotarn::test {

class TPipeReader {
 public:
  explicit TPipeReader(RawPipe& pipe);
  ~TPipeReader() { Stop(); }
  TPipeReader(const TPipeReader&) = delete;
  TPipeReader& operator=(const TPipeReader&) = delete;

  // Ends the reader thread; the messages collected so far stay.
  void Stop();

  // Every message collected and not yet taken.
  std::vector<std::string> Messages() const;
  // Hands the collected messages over and starts a new collection.
  std::vector<std::string> Take();
  // The pipe broke (the peer closed its end); the error it broke with.
  bool Broken() const;
  DWORD BreakError() const;

  // Waits with `wait` until `done` holds or `timeout_ms` has passed; re-checks `done` after
  // every message and at the break. Returns done().
  bool WaitUntil(const std::function<bool()>& done, DWORD timeout_ms, const TWait& wait);

 private:
  void ReadLoop();

  RawPipe& pipe_;
  unique_handle stop_;
  unique_handle changed_;  // auto-reset: a message came or the pipe broke
  mutable std::mutex lock_;
  std::vector<std::string> messages_;
  bool broken_ = false;
  DWORD break_error_ = 0;
  std::thread thread_;
};

}  // namespace velotarn::test
