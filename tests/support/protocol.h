#pragma once
// The control pipe seen from a client: the requests it writes and the checks of the reply
// records it receives (exactly kRecordSize bytes: text, a zero byte, zeros).
//
// Threading: plain functions.

#include <string>
#include <string_view>
#include <vector>

namespace velotarn::test {

// "connect", the command line and the directory in the ANSI code page, lines ended by CR LF.
std::string ConnectRequest(const std::wstring& command_line, const std::wstring& directory);

// Checks one received message as a reply record. Returns "" when it is one and puts its text
// (up to the zero byte) into `text`; otherwise says what is wrong with it.
std::string CheckRecord(std::string_view message, std::string* text);

// The texts of received records (each up to its first zero byte).
std::vector<std::string> RecordTexts(const std::vector<std::string>& messages);
// How many of `texts` are end markers.
size_t CountEndMarkers(const std::vector<std::string>& texts);

// Printable form of a record text for failure messages (CR, LF and other bytes escaped).
std::string Printable(std::string_view text);

}  // namespace velotarn::test
