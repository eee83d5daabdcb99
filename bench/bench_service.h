#pragma once
// The real service under the SCM of this machine (the Wine prefix of the build tree) for the
// time of a benchmark: installed with the program's own "/install /silent" run, started with
// StartServiceW, and - whatever happens - stopped and deleted again by the destructor.
//
// Threading: one thread creates, uses and destroys it; waits for the service state need
// alertable waits on that thread.

#include <windows.h>

#include <string>

#include "runtime/handles.h"

namespace velotarn::bench {

class TBenchService {
 public:
  static constexpr wchar_t kServiceName[] = L"svVelotarn";
  static constexpr wchar_t kPipeName[] = L"VelotarnOvpnPipe";

  // Removes a registration left by an earlier run, installs, starts and waits until the
  // service reports RUNNING. Raises an Exception saying which step failed.
  explicit TBenchService(const std::wstring& exe_path);
  ~TBenchService();
  TBenchService(const TBenchService&) = delete;
  TBenchService& operator=(const TBenchService&) = delete;

  DWORD Pid() const noexcept { return pid_; }
  HANDLE Process() const noexcept { return process_.get(); }

  // Stops the service (waiting for its process to end) and deletes the registration. Returns
  // a description of what went wrong, empty when all went well. Runs once.
  std::wstring StopAndDelete();

 private:
  void Install(const std::wstring& exe_path);
  void StartAndWaitRunning();

  unique_schandle manager_;
  unique_schandle service_;
  unique_handle process_;
  DWORD pid_ = 0;
};

}  // namespace velotarn::bench
