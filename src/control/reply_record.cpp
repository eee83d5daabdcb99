#include "control/reply_record.h"

#include <cassert>
#include <cstring>

namespace velotarn {

TReplyRecord MakeReplyRecord(std::string_view Text) {
  assert(Text.size() <= kMaxRecordText);
  TReplyRecord record{};  // zero-filled: the terminator and the meaningless tail
  std::memcpy(record.data(), Text.data(), Text.size());
  return record;
}

std::vector<std::string_view> SplitRecordTexts(std::string_view Text, const TCharWidth& Width) {
  std::vector<std::string_view> pieces;
  do {
    size_t take = Text.size() <= kMaxRecordText
                      ? Text.size()
                      : CharBoundaryPrefix(Text.data(), kMaxRecordText, Width);
    pieces.push_back(Text.substr(0, take));
    Text.remove_prefix(take);
  } while (!Text.empty());
  return pieces;
}

std::string_view RecordText(const char* Record, size_t Size) {
  const void* zero = std::memchr(Record, 0, Size);
  return std::string_view(Record, zero ? static_cast<const char*>(zero) - Record : Size);
}

}  // namespace velotarn
