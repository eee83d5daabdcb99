#pragma once
// The command line of velotarnctl:
//   velotarnctl [--pipe NAME] [--timeout SECONDS] connect "<command line>" "<directory>"
//   velotarnctl [--pipe NAME] [--timeout SECONDS] disconnect
//   velotarnctl --help
//   velotarnctl --version

#include <cstdint>
#include <string>

#include "control/ovpn_control.h"
#include "runtime/exceptions.h"

namespace velotarn {

enum class TCtlCommand { Help, Version, Connect, Disconnect };

struct TCtlOptions {
  TCtlCommand Command = TCtlCommand::Help;
  std::wstring CommandLine;  // connect: the program and its arguments
  std::wstring Directory;    // connect: its working directory
  std::wstring PipeName = kOvpnPipeName;  // the service's pipe
  uint32_t TimeoutMs = 0;  // 0: no bound
};

// A command line that cannot be used; the text says why.
class ECtlUsage : public Exception {
 public:
  explicit ECtlUsage(std::wstring Message) : Exception(std::move(Message)) {}
  const wchar_t* ClassName() const noexcept override { return L"ECtlUsage"; }
};

// argv[0] is the program. Raises ECtlUsage.
TCtlOptions ParseCtlOptions(int argc, const wchar_t* const* argv);

// The --help text, lines ending in "\n".
std::wstring CtlUsageText();

// The --version text: the program's name and version, ending in "\n".
std::wstring CtlVersionText();

}  // namespace velotarn
