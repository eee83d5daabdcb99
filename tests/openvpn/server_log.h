#pragma once
// The log of the Linux openvpn server that run-tunnels starts: what the server said, read from
// its file as it grows (the server runs outside Wine and appends to it).
//
// Threading: used by one thread.

#include <windows.h>

#include <string>

namespace velotarn::test {

class TServerLog {
 public:
  // Its lines when the client has gone: killed (the ping time-out) or ended with a notice.
  static constexpr char kClientGone[] = "SIGUSR1[soft,";

  explicit TServerLog(std::wstring path) : path_(std::move(path)) {}

  std::string Text() const;
  size_t Count(const std::string& text) const;
  // Waits until `text` stands in the log `count` times or more.
  bool WaitCount(const std::string& text, size_t count, DWORD timeout_ms) const;
  // Waits until the server has no client and listens for the next one.
  bool WaitReady(DWORD timeout_ms) const;

 private:
  template <class Done>
  bool WaitUntil(Done done, DWORD timeout_ms) const;

  std::wstring path_;
};

}  // namespace velotarn::test
