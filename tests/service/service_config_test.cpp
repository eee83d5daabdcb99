// What the installation asks of the SCM beyond the registration, seen through a stand-in for
// ChangeServiceConfig2W (Wine 8 stores no recovery actions, so they cannot be read back there).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "service/service_config.h"

namespace velotarn {
namespace {

// What each call asked for, as text: its level and what it set.
std::vector<std::wstring> g_asked;

BOOL WINAPI RecordChange(SC_HANDLE, DWORD Level, LPVOID Info) {
  if (Level == SERVICE_CONFIG_DESCRIPTION) {
    g_asked.push_back(std::wstring(L"description ") +
                      static_cast<SERVICE_DESCRIPTIONW*>(Info)->lpDescription);
  } else if (Level == SERVICE_CONFIG_FAILURE_ACTIONS) {
    const auto* f = static_cast<SERVICE_FAILURE_ACTIONSW*>(Info);
    std::wstring text = L"recovery reset " + std::to_wstring(f->dwResetPeriod);
    for (DWORD n = 0; n < f->cActions; ++n)
      text += L", " + std::to_wstring(f->lpsaActions[n].Type) + L" after " +
              std::to_wstring(f->lpsaActions[n].Delay);
    if (f->lpRebootMsg || f->lpCommand) text += L", and a message or command";
    g_asked.push_back(text);
  }
  return TRUE;
}

TEST(ServiceConfig, TheRegistrationGetsItsDescriptionAndRestartsAfterACrash) {
  ConfigureRegistration(reinterpret_cast<SC_HANDLE>(1), &RecordChange);
  // SC_ACTION_RESTART is 1, SC_ACTION_NONE 0.
  EXPECT_EQ(g_asked, (std::vector<std::wstring>{
                         std::wstring(L"description ") + kServiceDescription,
                         L"recovery reset 86400, 1 after 5000, 1 after 30000, 0 after 0"}));
  EXPECT_NE(std::wstring(kServiceDescription).find(L"Services\\svVelotarn\\Parameters"),
            std::wstring::npos);
}

}  // namespace
}  // namespace velotarn
