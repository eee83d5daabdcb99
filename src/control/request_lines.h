#pragma once
// Decoding of one request message into its lines.
//
// Encoding: a message that starts with EF BB BF is UTF-8, with FF FE UTF-16 little-endian,
// with FE FF UTF-16 big-endian (the mark is not part of the text); any other message is in the
// system's ANSI code page. UTF-16 is decoded here; a last odd byte of UTF-16 text is no
// character and is ignored. Code-page text is decoded by the function passed in.
// The text ends at its first NUL. It is cut into lines at CR, at LF and at CR LF (one break);
// a break at the very end adds no empty last line, two breaks in a row make an empty line.
//
// No Windows include: builds on any platform (wchar_t holds UTF-16 code units).

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velotarn {

enum class TRequestEncoding { Ansi, Utf8 };

// Converts code-page bytes to UTF-16; NUL bytes come through as NUL characters.
using TBytesDecoder = std::function<std::wstring(std::string_view bytes, TRequestEncoding)>;

std::vector<std::wstring> DecodeRequestLines(std::string_view Message, const TBytesDecoder& Decode);

// The line rule alone, for text that is already UTF-16 (stops at the first NUL).
std::vector<std::wstring> SplitRequestText(std::wstring_view Text);

enum class TRequestCommand { Connect, Disconnect };

// Builds one request message, as a client writes it: "connect" CR LF command line CR LF
// directory, or "disconnect". The command line and directory are bytes already in `encoding`
// (and hold no CR, LF or NUL: those would end the line); a UTF-8 request begins with its
// byte-order mark.
std::string EncodeRequest(TRequestCommand Command, std::string_view CommandLine = {},
                          std::string_view Directory = {},
                          TRequestEncoding Encoding = TRequestEncoding::Ansi);

}  // namespace velotarn
