#include "soak_client.h"

#include "control/ovpn_control.h"

namespace velotarn::test {

namespace {
bool ParseNumber(std::string_view text, size_t* at, int* value) {
  size_t start = *at;
  long long v = 0;
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9' && *at - start < 9)
    v = v * 10 + (text[(*at)++] - '0');
  *value = static_cast<int>(v);
  return *at > start;
}
}  // namespace

bool ParseSoakLine(std::string_view text, TSoakLine* line) {
  size_t at = 0;
  if (at < text.size() && text[at] == '\n') ++at;
  if (text.compare(at, 5, "soak ") != 0) return false;
  at += 5;
  if (!ParseNumber(text, &at, &line->run)) return false;
  if (at >= text.size() || text[at++] != ' ') return false;
  if (!ParseNumber(text, &at, &line->index)) return false;
  line->count = 0;
  if (at < text.size() && text[at] == '/') {
    ++at;
    if (!ParseNumber(text, &at, &line->count)) return false;
  }
  return at + 1 == text.size() && text[at] == '\r';
}

bool TSoakClient::Connect(DWORD timeout_ms) {
  Close();
  auto client = std::make_unique<TRecordClient>(kOvpnPipeName, PlainWait, timeout_ms);
  if (!client->Connected()) return false;
  client_ = std::move(client);
  return true;
}

bool TSoakClient::Send(std::string_view bytes, DWORD timeout_ms) {
  return client_ && client_->Send(bytes, timeout_ms);
}

void TSoakClient::TakeIn() {
  if (!client_) return;
  for (const std::string& message : client_->Reader()->Take()) {
    std::string text;
    std::string fault = CheckRecord(message, &text);
    if (!fault.empty()) {
      faults_.push_back(std::move(fault));
      continue;
    }
    ++record_count_;
    texts_.push_back(std::move(text));
  }
}

template <class Done>
bool TSoakClient::WaitUntil(Done done, DWORD timeout_ms) {
  if (!client_) return false;
  return client_->Reader()->WaitUntil(
      [&] {
        TakeIn();
        return done();
      },
      timeout_ms, PlainWait);
}

size_t TSoakClient::Receive(size_t count, DWORD timeout_ms) {
  TakeIn();
  const size_t before = record_count_;
  WaitUntil([&] { return record_count_ - before >= count || Broken(); }, timeout_ms);
  return record_count_ - before;
}

bool TSoakClient::ReceiveUntil(std::string_view text, int times, DWORD timeout_ms) {
  TakeIn();
  size_t checked = texts_.size();
  int seen = 0;
  return WaitUntil(
      [&] {
        for (; checked < texts_.size(); ++checked)
          if (texts_[checked] == text) ++seen;
        return seen >= times;
      },
      timeout_ms);
}

std::vector<std::string> TSoakClient::TakeTexts() {
  TakeIn();
  std::vector<std::string> taken;
  taken.swap(texts_);
  return taken;
}

}  // namespace velotarn::test
