#include "service/event_logger.h"

namespace velotarn {

void TEventLogger::LogMessage(const std::wstring& Message, WORD EventType, WORD Category,
                              DWORD Id) {
  std::lock_guard<std::mutex> guard(FLock);
  if (!FEventLog) FEventLog.reset(RegisterEventSourceW(nullptr, FName.c_str()));
  if (!FEventLog) return;
  const wchar_t* strings[1] = {Message.c_str()};
  ReportEventW(FEventLog.get(), EventType, Category, Id, nullptr, 1, 0, strings, nullptr);
}

}  // namespace velotarn
