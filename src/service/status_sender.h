#pragma once
// The one door through which the service's status reports reach the SCM. Tests put their own
// sender in its place to observe every SERVICE_STATUS that would be sent.
//
// Threading: the sender is exchanged before any service runs (tests); sending happens on the
// service-main and service threads.

#include <windows.h>

namespace velotarn {

using TStatusSender = BOOL (*)(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);

// Sends through the current sender (SetServiceStatus unless replaced).
BOOL SendServiceStatus(SERVICE_STATUS_HANDLE Handle, SERVICE_STATUS* Status);

// Replaces the sender and returns the previous one; nullptr restores SetServiceStatus.
TStatusSender SetStatusSender(TStatusSender Sender) noexcept;

}  // namespace velotarn
