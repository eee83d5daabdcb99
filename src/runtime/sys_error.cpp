#include "runtime/sys_error.h"

#include "runtime/handles.h"

namespace velotarn {

std::wstring TrimMessageTail(std::wstring Text) {
  while (!Text.empty() && (Text.back() <= L' ' || Text.back() == L'.')) Text.pop_back();
  return Text;
}

std::wstring SysErrorMessage(DWORD Code) {
  wchar_t* buffer = nullptr;
  DWORD len = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                             nullptr, Code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  unique_hlocal owner(buffer);
  if (len == 0 || buffer == nullptr) return {};
  return TrimMessageTail(std::wstring(buffer, len));
}

}  // namespace velotarn
