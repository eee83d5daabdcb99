#pragma once
// Shared by the soak tests: the real velotarnsvc.exe installed and started through the SCM of
// the test prefix, named counters that children count themselves on, and the children that a
// failed test must not leave behind.

#include <windows.h>

#include <cstdint>
#include <string>

#include "runtime/handles.h"

namespace velotarn::test {

// velotarnsvc.exe registered by its own install run and started; the test's CleanServiceSlot
// stops and removes it again.
struct TRunningService {
  unique_schandle service;
  DWORD pid = 0;
  // Open for waiting, measuring and reading its exit code.
  unique_handle process;
};
// Fails the calling test (fatally) when the service cannot be installed or started.
void StartVelotarnService(TRunningService* running);

// A named table in which every started soak child counts itself at the index of its run (see
// ovpn_child.cpp in tests/support): which runs started, and how often.
class TRunStarts {
 public:
  static constexpr int kRuns = 10000;
  TRunStarts();
  ~TRunStarts();
  TRunStarts(const TRunStarts&) = delete;
  TRunStarts& operator=(const TRunStarts&) = delete;

  const std::wstring& Name() const { return name_; }
  // How often the child of `run` has started so far.
  long Of(int run) const;
  long Total() const;

 private:
  std::wstring name_;
  unique_handle mapping_;
  volatile LONG* counts_ = nullptr;  // the mapped view, unmapped on destruction
};

// A process-unique name in the global namespace, shared with the service's children.
std::wstring GlobalName(const std::wstring& what);

// Terminates, when the scope ends, every ovpn_child.exe and openvpn.exe still running in the
// prefix, so that a failed test leaves none behind for the next.
class TLeftoverChildren {
 public:
  TLeftoverChildren() = default;
  ~TLeftoverChildren();
  TLeftoverChildren(const TLeftoverChildren&) = delete;
  TLeftoverChildren& operator=(const TLeftoverChildren&) = delete;
};

// The children built beside the test program.
std::wstring SoakChildPath();
std::wstring SoakOpenvpnPath();

// The seed of this run: VELOTARN_SOAK_SEED when set, else taken from the clock.
uint64_t SoakSeed();

}  // namespace velotarn::test
