#include "service/status_sender.h"

#include <atomic>

namespace velotarn {

namespace {
BOOL SystemSender(SERVICE_STATUS_HANDLE Handle, SERVICE_STATUS* Status) {
  return SetServiceStatus(Handle, Status);
}
std::atomic<TStatusSender> g_sender{&SystemSender};
}  // namespace

BOOL SendServiceStatus(SERVICE_STATUS_HANDLE Handle, SERVICE_STATUS* Status) {
  return g_sender.load()(Handle, Status);
}

TStatusSender SetStatusSender(TStatusSender Sender) noexcept {
  return g_sender.exchange(Sender != nullptr ? Sender : &SystemSender);
}

}  // namespace velotarn
