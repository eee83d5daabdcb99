#include "control/ansi_char_width.h"

#include <windows.h>

namespace velotarn {

TCharWidth AnsiCharWidth() {
  const UINT code_page = GetACP();
  if (code_page == CP_UTF8) return Utf8CharWidth;
  CPINFO info{};
  if (!GetCPInfo(code_page, &info) || info.MaxCharSize < 2) return SingleByteWidth;
  return [code_page](unsigned char lead) -> size_t {
    return IsDBCSLeadByteEx(code_page, lead) ? 2 : 1;
  };
}

}  // namespace velotarn
