#include "runtime/sys_error.h"

#include "runtime/handles.h"

namespace velotarn {

std::wstring TrimMessageTail(std::wstring text) {
  while (!text.empty() && (text.back() <= L' ' || text.back() == L'.')) text.pop_back();
  return text;
}

std::wstring SysErrorMessage(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD len = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  unique_hlocal owner(buffer);
  if (len == 0 || buffer == nullptr) return {};
  return TrimMessageTail(std::wstring(buffer, len));
}

}  // namespace velotarn
