#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/line_splitter.h"

namespace velotarn {
namespace {

using Lines = std::vector<std::string>;

size_t TestDbcsWidth(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || b >= 0xE0 ? 2 : 1; }

// Feeds `bytes` in chunks of `chunk` bytes, as the runner's reads would bring them.
Lines Split(const std::string& bytes, size_t chunk = TLineSplitter::kChunkSize,
            TCharWidth width = SingleByteWidth, size_t* pending = nullptr) {
  TLineSplitter splitter(std::move(width));
  Lines lines;
  for (size_t at = 0; at < bytes.size(); at += chunk) {
    std::string part = bytes.substr(at, chunk);
    splitter.Feed(part.data(), part.size(),
                  [&](std::string_view line) { lines.emplace_back(line); });
  }
  if (pending) *pending = splitter.Pending();
  return lines;
}

TEST(LineSplitter, WorkedExample) {
  size_t pending = 0;
  EXPECT_EQ(Split("AB\r\nC\r\nD", 256, SingleByteWidth, &pending), (Lines{"AB\r", "\nC\r"}));
  EXPECT_EQ(pending, 2u);  // "\nD" waits for a CR that never comes
}

TEST(LineSplitter, CutsOnlyAtCRWhateverTheChunks) {
  const std::string stream = "a\nb\r\r\nc\rdd\r";
  const Lines expected{"a\nb\r", "\r", "\nc\r", "dd\r"};
  for (size_t chunk : {1u, 2u, 3u, 256u}) EXPECT_EQ(Split(stream, chunk), expected) << chunk;
  EXPECT_EQ(Split(""), Lines{});
  EXPECT_EQ(Split("no end"), Lines{});
}

TEST(LineSplitter, AZeroByteEndsTheText) {
  EXPECT_EQ(Split(std::string("ab\0cd\rxy\r", 9)), (Lines{"ab", "xy\r"}));
  EXPECT_EQ(Split(std::string("\0\r", 2)), (Lines{""}));
  // Split across chunks, the rest of the line is still lost up to and including its CR.
  EXPECT_EQ(Split(std::string("ab\0cd\rxy\r", 9), 1), (Lines{"ab", "xy\r"}));
}

TEST(LineSplitter, BufferLimitAndOversizeLines) {
  // 2017 bytes and CR: the buffer's last byte holds the terminator.
  std::string full(TLineSplitter::kMaxLineBytes, 'x');
  EXPECT_EQ(Split(full + "\r"), (Lines{full + "\r"}));

  // One more byte: the first 2017 go out as a piece, the rest with the CR.
  EXPECT_EQ(Split(full + "yz\r"), (Lines{full, "yz\r"}));

  // Much longer: every byte arrives, in order, only the last piece ending with CR.
  std::string huge;
  for (int i = 0; i < 10000; ++i) huge.push_back(static_cast<char>('a' + i % 26));
  Lines pieces = Split(huge + "\rnext\r", 256);
  ASSERT_EQ(pieces.size(), 6u);
  std::string joined;
  for (size_t i = 0; i + 1 < pieces.size(); ++i) {
    EXPECT_LE(pieces[i].size(), TLineSplitter::kMaxLineBytes + 1);
    EXPECT_EQ(pieces[i].back() == '\r', i == 4) << i;
    joined += pieces[i];
  }
  EXPECT_EQ(joined, huge + "\r");
  EXPECT_EQ(pieces.back(), "next\r");

  // A zero byte in a piece of a long line: what follows in that line is lost.
  std::string with_zero = std::string(3000, 'q') + std::string(1, '\0') + std::string(3000, 'r');
  EXPECT_EQ(Split(with_zero + "\rok\r"),
            (Lines{std::string(2017, 'q'), std::string(983, 'q'), "ok\r"}));
}

TEST(LineSplitter, PiecesNeverSplitADoubleByteCharacter) {
  // 2016 single bytes, then a double-byte character across the piece boundary.
  std::string line = std::string(2016, 'a') + "\x82\xA0" + "b\r";
  Lines pieces = Split(line, 256, TestDbcsWidth);
  EXPECT_EQ(pieces, (Lines{std::string(2016, 'a'), "\x82\xA0" "b\r"}));
  // Made only of double-byte characters: every piece has an even length.
  std::string wide;
  for (int i = 0; i < 3000; ++i) wide += "\x83\x41";
  pieces = Split(wide + "\r", 7, TestDbcsWidth);
  std::string joined;
  for (const std::string& piece : pieces) {
    if (piece.back() != '\r') {
      EXPECT_EQ(piece.size() % 2, 0u);
    }
    joined += piece;
  }
  EXPECT_EQ(joined, wide + "\r");
}

TEST(LineSplitter, AHandlerErrorLeavesTheSplitterUsable) {
  TLineSplitter splitter;
  std::string first = "bad\rgood\r";
  int calls = 0;
  EXPECT_THROW(splitter.Feed(first.data(), first.size(),
                             [&](std::string_view) {
                               ++calls;
                               throw 1;
                             }),
               int);
  EXPECT_EQ(calls, 1);
  Lines lines;
  std::string next = "x\r";
  splitter.Feed(next.data(), next.size(), [&](std::string_view l) { lines.emplace_back(l); });
  EXPECT_EQ(lines, Lines{"x\r"});
}

}  // namespace
}  // namespace velotarn
