#include "pipe_reader.h"

namespace velotarn::test {

TPipeReader::TPipeReader(RawPipe& pipe)
    : pipe_(pipe),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      changed_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      thread_([this] { ReadLoop(); }) {}

void TPipeReader::Stop() {
  SetEvent(stop_.get());
  if (thread_.joinable()) thread_.join();
}

void TPipeReader::ReadLoop() {
  // The reader's waits also end when the owner stops it; the read is then cancelled and
  // over before Receive returns.
  HANDLE stop = stop_.get();
  const TWait wait = [stop](HANDLE event, DWORD) {
    HANDLE both[2] = {event, stop};
    return WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0;
  };
  for (;;) {
    std::optional<std::string> message = pipe_.Receive(INFINITE, wait);
    if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (message) {
        messages_.push_back(std::move(*message));
      } else {
        broken_ = true;
        break_error_ = pipe_.LastError();
      }
    }
    SetEvent(changed_.get());
    if (!message) return;
  }
}

std::vector<std::string> TPipeReader::Messages() const {
  std::lock_guard<std::mutex> guard(lock_);
  return messages_;
}

std::vector<std::string> TPipeReader::Take() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> taken;
  taken.swap(messages_);
  return taken;
}

bool TPipeReader::Broken() const {
  std::lock_guard<std::mutex> guard(lock_);
  return broken_;
}

DWORD TPipeReader::BreakError() const {
  std::lock_guard<std::mutex> guard(lock_);
  return break_error_;
}

bool TPipeReader::WaitUntil(const std::function<bool()>& done, DWORD timeout_ms,
                            const TWait& wait) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (!done()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline || !wait(changed_.get(), static_cast<DWORD>(deadline - now)))
      return done();
  }
  return true;
}

}  // namespace velotarn::test
