#include <gtest/gtest.h>

#include <string>

#include "control/reply_record.h"

namespace velotarn {
namespace {

size_t TestDbcsWidth(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || b >= 0xE0 ? 2 : 1; }

TEST(ReplyRecord, TextThenZeroesUpTo1025Bytes) {
  TReplyRecord record = MakeReplyRecord("AB\r");
  ASSERT_EQ(record.size(), 1025u);
  EXPECT_EQ(std::string(record.data(), 3), "AB\r");
  for (size_t i = 3; i < record.size(); ++i) ASSERT_EQ(record[i], '\0') << i;
  EXPECT_EQ(RecordText(record.data(), record.size()), "AB\r");

  TReplyRecord end = MakeReplyRecord(kEndMarker);
  EXPECT_EQ(RecordText(end.data(), end.size()), "#END#");

  std::string longest(1024, 'z');
  TReplyRecord full = MakeReplyRecord(longest);
  EXPECT_EQ(RecordText(full.data(), full.size()), longest);
  EXPECT_EQ(full[1024], '\0');
}

TEST(ReplyRecord, LongTextsSpreadOverSeveralRecords) {
  EXPECT_EQ(SplitRecordTexts("", SingleByteWidth), (std::vector<std::string_view>{""}));
  std::string exact(1024, 'a');
  EXPECT_EQ(SplitRecordTexts(exact, SingleByteWidth).size(), 1u);

  std::string line = std::string(2017, 'b') + "\r";
  auto pieces = SplitRecordTexts(line, SingleByteWidth);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], std::string(1024, 'b'));
  EXPECT_EQ(pieces[1], std::string(993, 'b') + "\r");

  // A double-byte character at the record boundary goes whole into the next record.
  std::string dbcs = std::string(1023, 'c') + "\x82\xA0" + "d\r";
  pieces = SplitRecordTexts(dbcs, TestDbcsWidth);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], std::string(1023, 'c'));
  EXPECT_EQ(pieces[1], "\x82\xA0" "d\r");
}

}  // namespace
}  // namespace velotarn
