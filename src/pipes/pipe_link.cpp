#include "pipes/pipe_link.h"

#include <algorithm>
#include <cassert>

#include "runtime/synchronize.h"

namespace velotarn {

namespace {
std::atomic<TPipeLink::TPostFunction> g_post_function{nullptr};
}  // namespace

void TPipeLink::SetPostFunction(TPostFunction Function) noexcept {
  g_post_function.store(Function);
}

TPipeLink::TPostResult TPipeLink::TryPost(UINT Msg, WPARAM WParam, LPARAM LParam) {
  std::lock_guard<std::mutex> guard(FLock);
  if (FWindow == nullptr) return TPostResult::Detached;
  TPostFunction post = g_post_function.load();
  if (post == nullptr) post = &PostMessageW;
  return post(FWindow, Msg, WParam, LParam) ? TPostResult::Posted : TPostResult::Refused;
}

bool TPipeLink::Post(UINT Msg, WPARAM WParam, LPARAM LParam, HANDLE KillEvent) {
  assert(!IsMainThread() && "the main thread cannot wait for its own queue to empty");
  DWORD pause = kFirstPostRetryMs;
  for (;;) {
    switch (TryPost(Msg, WParam, LParam)) {
      case TPostResult::Posted:
        return true;
      case TPostResult::Detached:
        return false;
      case TPostResult::Refused:
        break;
    }
    // The queue is full: the main thread is behind. Give it time, unless we are told to end.
    if (WaitForSingleObject(KillEvent, pause) != WAIT_TIMEOUT) return false;
    pause = std::min(pause * 2, kMaxPostRetryMs);
  }
}

bool TPipeLink::PostOnce(UINT Msg, WPARAM WParam, LPARAM LParam) {
  assert(IsMainThread());
  return TryPost(Msg, WParam, LParam) == TPostResult::Posted;
}

void TPipeLink::Detach() {
  assert(IsMainThread());
  std::lock_guard<std::mutex> guard(FLock);
  FWindow = nullptr;
  FOwner = nullptr;
}

TPipeOwner* TPipeLink::Owner() const noexcept {
  assert(IsMainThread());
  return FOwner;  // written by Detach, on this same thread
}

}  // namespace velotarn
