#include "record_client.h"

namespace velotarn::test {

TRecordClient::TRecordClient(const std::wstring& pipe_name, TWait wait, DWORD timeout_ms)
    : pipe_(std::move(wait)) {
  if (pipe_.Open(pipe_name, timeout_ms)) reader_ = std::make_unique<TPipeReader>(pipe_);
}

void TRecordClient::Close() {
  if (reader_) reader_->Stop();
  pipe_.Close();
}

std::vector<std::string> TRecordClient::Messages() const {
  return reader_ ? reader_->Messages() : std::vector<std::string>{};
}

bool TRecordClient::WaitFor(const std::function<bool(const TRecordClient&)>& done,
                            DWORD timeout_ms) {
  if (!reader_) return done(*this);
  return reader_->WaitUntil([&] { return done(*this); }, timeout_ms, pipe_.Wait());
}

bool TRecordClient::WaitEndMarkers(size_t count, DWORD timeout_ms) {
  return WaitFor([count](const TRecordClient& c) { return c.EndMarkers() >= count; }, timeout_ms);
}

}  // namespace velotarn::test
