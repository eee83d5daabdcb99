// Request decoding against a model: byte-order marks choose the encoding, the text ends at its
// first NUL, and CR, LF and CR LF each break a line (no empty last line after a final break).
#include <cstdint>
#include <string>
#include <vector>

#include "control/request_lines.h"

using velotarn::TRequestEncoding;

namespace {

// Stand-in for the code page: each byte is one character (keeps NULs as NULs).
std::wstring Widen(std::string_view bytes, TRequestEncoding) {
  std::wstring out;
  for (unsigned char c : bytes) out.push_back(static_cast<wchar_t>(c));
  return out;
}

std::wstring ModelText(const std::string& m) {
  auto starts = [&](const char* mark, size_t n) { return m.size() >= n && m.compare(0, n, mark, n) == 0; };
  std::wstring text;
  if (starts("\xEF\xBB\xBF", 3)) {
    text = Widen(std::string_view(m).substr(3), TRequestEncoding::Utf8);
  } else if (starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2)) {
    bool le = m[0] == '\xFF';
    for (size_t i = 2; i + 1 < m.size(); i += 2) {
      unsigned char a = m[i], b = m[i + 1];
      text.push_back(static_cast<wchar_t>(le ? (a | b << 8) : (b | a << 8)));
    }
  } else {
    text = Widen(m, TRequestEncoding::Ansi);
  }
  size_t nul = text.find(L'\0');
  if (nul != std::wstring::npos) text.resize(nul);
  return text;
}

std::vector<std::wstring> ModelLines(const std::wstring& t) {
  std::vector<std::wstring> lines;
  std::wstring cur;
  bool open = false;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == L'\r' || t[i] == L'\n') {
      lines.push_back(cur);
      cur.clear();
      open = false;
      if (t[i] == L'\r' && i + 1 < t.size() && t[i + 1] == L'\n') ++i;
    } else {
      cur.push_back(t[i]);
      open = true;
    }
  }
  if (open) lines.push_back(cur);
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string message(reinterpret_cast<const char*>(data), size);
  std::vector<std::wstring> got = velotarn::DecodeRequestLines(message, Widen);
  if (got != ModelLines(ModelText(message))) __builtin_trap();
  return 0;
}
