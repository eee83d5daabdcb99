#include "control/reply_record.h"

#include <cassert>
#include <cstring>

namespace velotarn {

TReplyRecord MakeReplyRecord(std::string_view text) {
  assert(text.size() <= kMaxRecordText);
  TReplyRecord record{};  // zero-filled: the terminator and the meaningless tail
  std::memcpy(record.data(), text.data(), text.size());
  return record;
}

std::vector<std::string_view> SplitRecordTexts(std::string_view text, const TCharWidth& width) {
  std::vector<std::string_view> pieces;
  do {
    size_t take = text.size() <= kMaxRecordText
                      ? text.size()
                      : CharBoundaryPrefix(text.data(), kMaxRecordText, width);
    pieces.push_back(text.substr(0, take));
    text.remove_prefix(take);
  } while (!text.empty());
  return pieces;
}

std::string_view RecordText(const char* record, size_t size) {
  const void* zero = std::memchr(record, 0, size);
  return std::string_view(record, zero ? static_cast<const char*>(zero) - record : size);
}

}  // namespace velotarn
