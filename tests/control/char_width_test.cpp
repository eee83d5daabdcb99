#include <gtest/gtest.h>

#include <string>

#include "control/char_width.h"

namespace velotarn {
namespace {

// A double-byte code page in the manner of 932: bytes 0x81..0x9F and 0xE0..0xFC lead.
size_t TestDbcsWidth(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || b >= 0xE0 ? 2 : 1; }

TEST(CharWidth, PrefixEndsBetweenCharacters) {
  std::string dbcs = "ab\x82\xA0" "c\x82\xA1";  // a b [82 A0] c [82 A1]
  EXPECT_EQ(CharBoundaryPrefix(dbcs.data(), 7, TestDbcsWidth), 7u);
  EXPECT_EQ(CharBoundaryPrefix(dbcs.data(), 6, TestDbcsWidth), 5u);  // not inside [82 A1]
  EXPECT_EQ(CharBoundaryPrefix(dbcs.data(), 3, TestDbcsWidth), 2u);  // not inside [82 A0]
  EXPECT_EQ(CharBoundaryPrefix(dbcs.data(), 0, TestDbcsWidth), 0u);
  // A trail byte in the lead range is still a trail byte: the scan starts at a character.
  std::string trail_like = "\x82\x82\x82\x82";
  EXPECT_EQ(CharBoundaryPrefix(trail_like.data(), 3, TestDbcsWidth), 2u);
  // One character wider than the room is cut rather than never sent.
  EXPECT_EQ(CharBoundaryPrefix("\x82", 1, TestDbcsWidth), 1u);

  std::string utf8 = "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80";  // a ä € 😀
  EXPECT_EQ(CharBoundaryPrefix(utf8.data(), 10, Utf8CharWidth), 10u);
  EXPECT_EQ(CharBoundaryPrefix(utf8.data(), 9, Utf8CharWidth), 6u);
  EXPECT_EQ(CharBoundaryPrefix(utf8.data(), 5, Utf8CharWidth), 3u);
  EXPECT_EQ(CharBoundaryPrefix(utf8.data(), 2, Utf8CharWidth), 1u);
  EXPECT_EQ(CharBoundaryPrefix(utf8.data(), 2, SingleByteWidth), 2u);
}

}  // namespace
}  // namespace velotarn
