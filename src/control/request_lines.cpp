#include "control/request_lines.h"

namespace velotarn {

namespace {

std::wstring DecodeUtf16(std::string_view Bytes, bool BigEndian) {
  std::wstring text;
  text.reserve(Bytes.size() / 2);
  for (size_t i = 0; i + 1 < Bytes.size(); i += 2) {
    auto lo = static_cast<unsigned char>(Bytes[BigEndian ? i + 1 : i]);
    auto hi = static_cast<unsigned char>(Bytes[BigEndian ? i : i + 1]);
    text.push_back(static_cast<wchar_t>(lo | (hi << 8)));
  }
  return text;
}

bool StartsWith(std::string_view Bytes, std::string_view Mark) {
  return Bytes.substr(0, Mark.size()) == Mark;
}

}  // namespace

std::vector<std::wstring> SplitRequestText(std::wstring_view Text) {
  Text = Text.substr(0, Text.find(L'\0'));
  std::vector<std::wstring> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < Text.size()) {
    wchar_t c = Text[i];
    if (c != L'\r' && c != L'\n') {
      ++i;
      continue;
    }
    lines.emplace_back(Text.substr(start, i - start));
    ++i;
    if (c == L'\r' && i < Text.size() && Text[i] == L'\n') ++i;  // CR LF is one break
    start = i;
  }
  if (start < Text.size()) lines.emplace_back(Text.substr(start));
  return lines;
}

std::vector<std::wstring> DecodeRequestLines(std::string_view Message,
                                             const TBytesDecoder& Decode) {
  std::wstring text;
  if (StartsWith(Message, "\xEF\xBB\xBF")) {
    text = Decode(Message.substr(3), TRequestEncoding::Utf8);
  } else if (StartsWith(Message, "\xFF\xFE")) {
    text = DecodeUtf16(Message.substr(2), false);
  } else if (StartsWith(Message, "\xFE\xFF")) {
    text = DecodeUtf16(Message.substr(2), true);
  } else {
    // Cut at the first zero byte before decoding: in the ANSI code page it is the first NUL,
    // and bytes after it are never looked at.
    text = Decode(Message.substr(0, Message.find('\0')), TRequestEncoding::Ansi);
  }
  return SplitRequestText(text);
}

std::string EncodeRequest(TRequestCommand Command, std::string_view CommandLine,
                          std::string_view Directory, TRequestEncoding Encoding) {
  std::string message = Encoding == TRequestEncoding::Utf8 ? "\xEF\xBB\xBF" : "";
  if (Command == TRequestCommand::Disconnect) return message + "disconnect";
  message += "connect\r\n";
  message += CommandLine;
  message += "\r\n";
  message += Directory;
  return message;
}

}  // namespace velotarn
