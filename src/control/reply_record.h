#pragma once
// Reply records: what the control module sends back for each output line. A record is exactly
// kRecordSize bytes: the text in the system's ANSI code page, a zero byte, and zeros after it.
//
// A text longer than kMaxRecordText bytes is spread over several records in order, each cut
// between two characters of the code page; only the last of them carries the line's final CR.
// So a receiver that joins record texts until one ends with CR gets the whole line back.
//
// No Windows include: builds on any platform.

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

#include "control/char_width.h"

namespace velotarn {

constexpr size_t kRecordSize = 1025;
constexpr size_t kMaxRecordText = kRecordSize - 1;

using TReplyRecord = std::array<char, kRecordSize>;

// `text` must hold at most kMaxRecordText bytes.
TReplyRecord MakeReplyRecord(std::string_view Text);

// The record texts for one line: one piece for a text of up to kMaxRecordText bytes (also for
// an empty one), else as many as it takes.
std::vector<std::string_view> SplitRecordTexts(std::string_view Text, const TCharWidth& Width);

// The text of a received record: up to its first zero byte.
std::string_view RecordText(const char* Record, size_t Size);

inline constexpr char kEndMarker[] = "#END#";

}  // namespace velotarn
