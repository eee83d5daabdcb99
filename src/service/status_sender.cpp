#include "service/status_sender.h"

#include <atomic>

namespace velotarn {

namespace {
BOOL SystemSender(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
  return SetServiceStatus(handle, status);
}
std::atomic<TStatusSender> g_sender{&SystemSender};
}  // namespace

BOOL SendServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
  return g_sender.load()(handle, status);
}

TStatusSender SetStatusSender(TStatusSender sender) noexcept {
  return g_sender.exchange(sender != nullptr ? sender : &SystemSender);
}

}  // namespace velotarn
