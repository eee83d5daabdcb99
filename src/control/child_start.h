#pragma once
// The pieces of starting a child whose output the program reads: an output pipe whose read end
// is never inheritable, and the list of the only handles a child may inherit.
//
// A child started with handle inheritance inherits every inheritable handle of the process
// unless a PROC_THREAD_ATTRIBUTE_HANDLE_LIST narrows it down. Without the list, a child of one
// run would also hold the write end of another run's pipe, and that run would never see the
// end of its output while this child lives.
//
// Threading: plain values of the thread that starts the child.

#include <windows.h>

#include <vector>

#include "runtime/handles.h"

namespace velotarn {

struct TChildOutputPipe {
  unique_handle Read;   // ours; never inherited
  unique_handle Write;  // inheritable, to be listed for the child and closed once it runs
};

// Raises EOSError when the pipe cannot be made; nothing stays open then.
TChildOutputPipe CreateChildOutputPipe();

// An inheritable duplicate of the process's standard input, or nothing when there is none
// that can be duplicated (a service usually has none).
unique_handle InheritableStdInput();

// The job object that every child of the process joins before it runs its first instruction
// (created suspended, assigned, then resumed), and with it whatever the child starts in turn.
// It is made on first use, set to end every process in it when its last handle closes, and
// never closed by the program: when this process ends, however it ends (a stop, a crash, a
// TerminateProcess), the system closes it and ends every child with it. Null when it could not
// be made; children are then not started at all.
HANDLE ChildJob() noexcept;

// A process/thread attribute list naming exactly the handles the child inherits.
class TInheritedHandleList {
 public:
  // `handles` must be valid, inheritable and distinct; they must stay open until the child
  // has been created. Raises EOSError when the list cannot be built.
  explicit TInheritedHandleList(std::vector<HANDLE> Handles);
  ~TInheritedHandleList();
  TInheritedHandleList(const TInheritedHandleList&) = delete;
  TInheritedHandleList& operator=(const TInheritedHandleList&) = delete;

  LPPROC_THREAD_ATTRIBUTE_LIST Get() noexcept { return FList; }

 private:
  std::vector<HANDLE> FHandles;  // the attribute refers to this array until deletion
  std::vector<unsigned char> FStorage;
  LPPROC_THREAD_ATTRIBUTE_LIST FList = nullptr;
};

}  // namespace velotarn
