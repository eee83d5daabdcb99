#include "control/request_lines.h"

namespace velotarn {

namespace {

std::wstring DecodeUtf16(std::string_view bytes, bool big_endian) {
  std::wstring text;
  text.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    auto lo = static_cast<unsigned char>(bytes[big_endian ? i + 1 : i]);
    auto hi = static_cast<unsigned char>(bytes[big_endian ? i : i + 1]);
    text.push_back(static_cast<wchar_t>(lo | (hi << 8)));
  }
  return text;
}

bool StartsWith(std::string_view bytes, std::string_view mark) {
  return bytes.substr(0, mark.size()) == mark;
}

}  // namespace

std::vector<std::wstring> SplitRequestText(std::wstring_view text) {
  text = text.substr(0, text.find(L'\0'));
  std::vector<std::wstring> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    wchar_t c = text[i];
    if (c != L'\r' && c != L'\n') {
      ++i;
      continue;
    }
    lines.emplace_back(text.substr(start, i - start));
    ++i;
    if (c == L'\r' && i < text.size() && text[i] == L'\n') ++i;  // CR LF is one break
    start = i;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::vector<std::wstring> DecodeRequestLines(std::string_view message,
                                             const TBytesDecoder& decode) {
  std::wstring text;
  if (StartsWith(message, "\xEF\xBB\xBF")) {
    text = decode(message.substr(3), TRequestEncoding::Utf8);
  } else if (StartsWith(message, "\xFF\xFE")) {
    text = DecodeUtf16(message.substr(2), false);
  } else if (StartsWith(message, "\xFE\xFF")) {
    text = DecodeUtf16(message.substr(2), true);
  } else {
    // Cut at the first zero byte before decoding: in the ANSI code page it is the first NUL,
    // and bytes after it are never looked at.
    text = decode(message.substr(0, message.find('\0')), TRequestEncoding::Ansi);
  }
  return SplitRequestText(text);
}

std::string EncodeRequest(TRequestCommand command, std::string_view command_line,
                          std::string_view directory, TRequestEncoding encoding) {
  std::string message = encoding == TRequestEncoding::Utf8 ? "\xEF\xBB\xBF" : "";
  if (command == TRequestCommand::Disconnect) return message + "disconnect";
  message += "connect\r\n";
  message += command_line;
  message += "\r\n";
  message += directory;
  return message;
}

}  // namespace velotarn
