#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/request_lines.h"

namespace velotarn {
namespace {

using Lines = std::vector<std::wstring>;

// Stands in for the code-page conversion: bytes as Latin-1, and UTF-8 as far as the tests
// need it (two-byte sequences).
std::wstring TestDecode(std::string_view bytes, TRequestEncoding encoding) {
  std::wstring text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    auto b = static_cast<unsigned char>(bytes[i]);
    if (encoding == TRequestEncoding::Utf8 && (b & 0xE0) == 0xC0 && i + 1 < bytes.size()) {
      text.push_back(static_cast<wchar_t>(((b & 0x1F) << 6) | (bytes[++i] & 0x3F)));
    } else {
      text.push_back(static_cast<wchar_t>(b));
    }
  }
  return text;
}

Lines Decode(const std::string& bytes) { return DecodeRequestLines(bytes, TestDecode); }

std::string Utf16(const std::wstring& text, bool big_endian) {
  std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (wchar_t c : text) {
    char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>((c >> 8) & 0xFF);
    bytes += big_endian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return bytes;
}

TEST(RequestLines, LineBreaks) {
  EXPECT_EQ(Decode("connect\r\ncmd\r\ndir"), (Lines{L"connect", L"cmd", L"dir"}));
  EXPECT_EQ(Decode("connect\rcmd\ndir\r\n"), (Lines{L"connect", L"cmd", L"dir"}));
  EXPECT_EQ(Decode("a\r\n\r\nb"), (Lines{L"a", L"", L"b"}));  // two breaks: an empty line
  EXPECT_EQ(Decode("a\n\rb"), (Lines{L"a", L"", L"b"}));      // LF CR is two breaks
  EXPECT_EQ(Decode("connect\r\ncmd\r\n\r\n"), (Lines{L"connect", L"cmd", L""}));
  EXPECT_EQ(Decode("connect\r\ncmd\r\n"), (Lines{L"connect", L"cmd"}));
  EXPECT_EQ(Decode(""), Lines{});
  EXPECT_EQ(Decode("\r\n"), (Lines{L""}));
  EXPECT_EQ(Decode(" connect \r\n"), (Lines{L" connect "}));  // no trimming
}

TEST(RequestLines, TextEndsAtTheFirstNul) {
  EXPECT_EQ(Decode(std::string("connect\r\ncmd\0\r\ndir", 18)), (Lines{L"connect", L"cmd"}));
  EXPECT_EQ(Decode(std::string("\0connect", 8)), Lines{});
  // UTF-16 without a byte-order mark is read as ANSI: its first zero byte ends the text.
  EXPECT_EQ(Decode(std::string("c\0o\0n\0", 6)), (Lines{L"c"}));
  EXPECT_EQ(Decode(Utf16(std::wstring(L"connect\0x", 9), false)), (Lines{L"connect"}));
}

TEST(RequestLines, ByteOrderMarksSelectTheEncoding) {
  const Lines expected{L"connect", L"cmd \u00e4\u20ac", L"C:\\"};
  const std::wstring text = L"connect\r\ncmd \u00e4\u20ac\r\nC:\\";
  EXPECT_EQ(Decode(Utf16(text, false)), expected);
  EXPECT_EQ(Decode(Utf16(text, true)), expected);
  // UTF-8 goes through the conversion function, without its mark.
  EXPECT_EQ(Decode("\xEF\xBB\xBF" "connect\r\nx\xC3\xA4\r\nd"),
            (Lines{L"connect", L"x\u00e4", L"d"}));
  // Without a mark the same bytes are code-page text.
  EXPECT_EQ(Decode("connect\r\nx\xC3\xA4\r\nd"), (Lines{L"connect", L"x\u00c3\u00a4", L"d"}));
  // A last odd byte of UTF-16 is no character.
  EXPECT_EQ(Decode(Utf16(L"ab", false) + "c"), (Lines{L"ab"}));
  // Marks alone: empty text.
  EXPECT_EQ(Decode("\xFF\xFE"), Lines{});
  EXPECT_EQ(Decode("\xEF\xBB\xBF"), Lines{});
}

// What a client builds is what the service decodes.
TEST(RequestLines, EncodedRequestsDecodeToTheirLines) {
  EXPECT_EQ(EncodeRequest(TRequestCommand::Connect, "cmd /c x", "C:\\d"),
            "connect\r\ncmd /c x\r\nC:\\d");
  EXPECT_EQ(EncodeRequest(TRequestCommand::Disconnect), "disconnect");
  EXPECT_EQ(Decode(EncodeRequest(TRequestCommand::Connect, "x\xC3\xA4", "d",
                                 TRequestEncoding::Utf8)),
            (Lines{L"connect", L"x\u00e4", L"d"}));
  EXPECT_EQ(Decode(EncodeRequest(TRequestCommand::Disconnect, {}, {}, TRequestEncoding::Utf8)),
            (Lines{L"disconnect"}));
  // An empty directory adds no line: a break at the very end makes none.
  EXPECT_EQ(Decode(EncodeRequest(TRequestCommand::Connect, "cmd", "")),
            (Lines{L"connect", L"cmd"}));
}

}  // namespace
}  // namespace velotarn
