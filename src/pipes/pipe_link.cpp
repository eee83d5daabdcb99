#include "pipes/pipe_link.h"

#include <cassert>

#include "runtime/synchronize.h"

namespace velotarn {

bool TPipeLink::Post(UINT Msg, WPARAM WParam, LPARAM LParam) {
  std::lock_guard<std::mutex> guard(lock_);
  return window_ != nullptr && PostMessageW(window_, Msg, WParam, LParam) != FALSE;
}

void TPipeLink::Detach() {
  assert(IsMainThread());
  std::lock_guard<std::mutex> guard(lock_);
  window_ = nullptr;
}

bool TPipeLink::Attached() const noexcept {
  assert(IsMainThread());
  std::lock_guard<std::mutex> guard(lock_);
  return window_ != nullptr;
}

}  // namespace velotarn
