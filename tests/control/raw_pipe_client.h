#pragma once
// A client of the control pipe built on bare Win32 calls, so that the control module's replies
// are checked byte for byte and independently of the pipe components: it connects, sends
// requests as single messages and collects every message it receives on a reader thread.
//
// Threading: used on the main thread; its reader thread touches only the collected messages,
// under a lock. The main thread must keep running its loop while waiting for replies (the
// module sends from there): use WaitFor.

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runtime/handles.h"

namespace velotarn::test {

class TRawClient {
 public:
  // Connects to \\.\pipe\<name> (waiting up to 10 s for an instance) in message read mode.
  explicit TRawClient(const std::wstring& pipe_name);
  ~TRawClient();
  TRawClient(const TRawClient&) = delete;
  TRawClient& operator=(const TRawClient&) = delete;

  bool Connected() const { return FPipe.valid(); }
  // Writes `bytes` as one message and waits until it is written.
  bool Send(std::string_view bytes);
  // Ends the connection: our end is closed.
  void Close();

  // Every message received so far, whole.
  std::vector<std::string> Messages() const;
  // Their texts (up to the first zero byte).
  std::vector<std::string> Texts() const;
  size_t EndMarkers() const;
  // The server closed its end.
  bool Broken() const;

  // Runs the main loop until `done` holds (read under the lock) or the bound has passed.
  bool WaitFor(const std::function<bool(const TRawClient&)>& done, DWORD timeout_ms = 20000);
  bool WaitEndMarkers(size_t count, DWORD timeout_ms = 20000);

 private:
  void ReadLoop();

  unique_handle FPipe;
  unique_handle FStop;
  std::thread FReader;
  mutable std::mutex FLock;
  std::vector<std::string> FMessages;
  bool FBroken = false;
};

}  // namespace velotarn::test
