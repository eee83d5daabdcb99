#include "service/event_logger.h"

namespace velotarn {

void TEventLogger::LogMessage(const std::wstring& message, WORD event_type, WORD category,
                              DWORD id) {
  std::lock_guard<std::mutex> guard(FLock);
  if (!FEventLog) FEventLog.reset(RegisterEventSourceW(nullptr, FName.c_str()));
  if (!FEventLog) return;
  const wchar_t* strings[1] = {message.c_str()};
  ReportEventW(FEventLog.get(), event_type, category, id, nullptr, 1, 0, strings, nullptr);
}

}  // namespace velotarn
