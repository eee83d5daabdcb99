#include "protocol.h"

#include <algorithm>

#include "control/reply_record.h"
#include "control/request_lines.h"
#include "runtime/text.h"

namespace velotarn::test {

std::string ConnectRequest(const std::wstring& command_line, const std::wstring& directory) {
  return EncodeRequest(TRequestCommand::Connect, WideToAnsi(command_line),
                       WideToAnsi(directory));
}

std::string CheckRecord(std::string_view message, std::string* text) {
  if (message.size() != kRecordSize)
    return "a message of " + std::to_string(message.size()) + " bytes";
  const size_t zero = message.find('\0');
  if (zero == std::string_view::npos) return "a record without a zero byte";
  if (message.find_first_not_of('\0', zero) != std::string_view::npos)
    return "a record with bytes after its text: " + Printable(message.substr(0, zero));
  text->assign(message.substr(0, zero));
  return {};
}

std::vector<std::string> RecordTexts(const std::vector<std::string>& messages) {
  std::vector<std::string> texts;
  for (const std::string& m : messages) texts.emplace_back(RecordText(m.data(), m.size()));
  return texts;
}

size_t CountEndMarkers(const std::vector<std::string>& texts) {
  return static_cast<size_t>(std::count(texts.begin(), texts.end(), kEndMarker));
}

std::string Printable(std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text.substr(0, 200)) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (u < 0x20 || u >= 0x7F || c == '\\') {
      out += "\\x";
      out += hex[u >> 4];
      out += hex[u & 15];
    } else {
      out += c;
    }
  }
  if (text.size() > 200) out += "...";
  return out;
}

}  // namespace velotarn::test
