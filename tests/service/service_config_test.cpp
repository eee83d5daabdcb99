// What the installation asks of the SCM beyond the registration, seen through a stand-in for
// ChangeServiceConfig2W (Wine 8 stores no recovery actions, so they cannot be read back there).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "service/service_config.h"

namespace velotarn {
namespace {

struct TAsked {
  DWORD level = 0;
  std::wstring description;
  DWORD reset_period = 0;
  std::vector<std::pair<SC_ACTION_TYPE, DWORD>> actions;
};
std::vector<TAsked> g_asked;

BOOL WINAPI RecordChange(SC_HANDLE, DWORD Level, LPVOID Info) {
  TAsked asked;
  asked.level = Level;
  if (Level == SERVICE_CONFIG_DESCRIPTION) {
    asked.description = static_cast<SERVICE_DESCRIPTIONW*>(Info)->lpDescription;
  } else if (Level == SERVICE_CONFIG_FAILURE_ACTIONS) {
    const auto* f = static_cast<SERVICE_FAILURE_ACTIONSW*>(Info);
    asked.reset_period = f->dwResetPeriod;
    EXPECT_EQ(f->lpRebootMsg, nullptr);
    EXPECT_EQ(f->lpCommand, nullptr);
    for (DWORD n = 0; n < f->cActions; ++n)
      asked.actions.emplace_back(f->lpsaActions[n].Type, f->lpsaActions[n].Delay);
  }
  g_asked.push_back(asked);
  return TRUE;
}

TEST(ServiceConfig, TheRegistrationGetsItsDescriptionAndRestartsAfterACrash) {
  g_asked.clear();
  ConfigureRegistration(reinterpret_cast<SC_HANDLE>(1), &RecordChange);
  ASSERT_EQ(g_asked.size(), 2u);
  EXPECT_EQ(g_asked[0].level, static_cast<DWORD>(SERVICE_CONFIG_DESCRIPTION));
  EXPECT_NE(g_asked[0].description.find(L"\\\\.\\pipe\\VelotarnOvpnPipe"), std::wstring::npos);
  EXPECT_NE(g_asked[0].description.find(L"Services\\svVelotarn\\Parameters"), std::wstring::npos);
  EXPECT_EQ(g_asked[1].level, static_cast<DWORD>(SERVICE_CONFIG_FAILURE_ACTIONS));
  EXPECT_EQ(g_asked[1].reset_period, 86400u);
  const std::vector<std::pair<SC_ACTION_TYPE, DWORD>> expected = {
      {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_NONE, 0}};
  EXPECT_EQ(g_asked[1].actions, expected);
}

}  // namespace
}  // namespace velotarn
