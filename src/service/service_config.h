#pragma once
// What an administrator sees of the registered service beyond its name, and what the SCM does
// when the service's process ends without having reported STOPPED (a crash):
//   description  kServiceDescription (services.msc, "sc qdescription svVelotarn")
//   recovery     restart after 5 s, again after 30 s, then nothing; the count of failures
//                starts again after a day without one
// The SCM keeps restart actions only from a handle opened with SERVICE_START (CreateServiceW's
// SERVICE_ALL_ACCESS has it). Failures are ignored on purpose: the registration stands without
// them (Wine 8 answers TRUE for the recovery actions and stores nothing).
//
// Threading: any thread.

#include <windows.h>

namespace velotarn {

inline constexpr wchar_t kServiceDescription[] =
    L"Runs OpenVPN for the desktop VPN program on its request over the named pipe "
    L"\\\\.\\pipe\\VelotarnOvpnPipe and relays its output. Settings: "
    L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\svVelotarn\\Parameters.";

using TChangeServiceConfig2 = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPVOID);

// Sets the description and the recovery actions of the freshly registered Service.
void ConfigureRegistration(SC_HANDLE Service, TChangeServiceConfig2 Change = &ChangeServiceConfig2W);

}  // namespace velotarn
