#pragma once
// The command line of velotarnctl:
//   velotarnctl [--pipe NAME] [--timeout SECONDS] connect "<command line>" "<directory>"
//   velotarnctl [--pipe NAME] [--timeout SECONDS] disconnect
//   velotarnctl --help
//
// No Windows include: builds on any platform.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace velotarn {

inline constexpr wchar_t kDefaultCtlPipe[] = L"VelotarnOvpnPipe";

enum class TCtlCommand { Help, Connect, Disconnect };

struct TCtlOptions {
  TCtlCommand Command = TCtlCommand::Help;
  std::wstring CommandLine;  // connect: the program and its arguments
  std::wstring Directory;    // connect: its working directory
  std::wstring PipeName = kDefaultCtlPipe;
  uint32_t TimeoutMs = 0;  // 0: no bound
};

// A command line that cannot be used; the text says why.
class ECtlUsage : public std::runtime_error {
 public:
  explicit ECtlUsage(const std::wstring& message)
      : std::runtime_error("usage"), FMessage(message) {}
  const std::wstring& Message() const noexcept { return FMessage; }

 private:
  std::wstring FMessage;
};

// argv[0] is the program. Raises ECtlUsage.
TCtlOptions ParseCtlOptions(int argc, const wchar_t* const* argv);

// The --help text, lines ending in "\n".
std::wstring CtlUsageText();

}  // namespace velotarn
