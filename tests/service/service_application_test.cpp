// The service application object in a process of its own (the test program, started without
// any switch): ownership of what CreateForm makes, the error handler, the session-end hook,
// ServiceMainProc's choice of service, and the text of the unhandled-error box.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <thread>

#include "runtime/application.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "service/service_application.h"
#include "service/unhandled_error.h"
#include "service_test_support.h"

using namespace velotarn;
using velotarn::test::EventLogWatch;
using velotarn::test::SystemText;

namespace {

void WINAPI IgnoreControl(DWORD) {}

struct TestService : TService {
  explicit TestService(TComponent* owner) : TService(owner) { SetName(L"svTest"); }
  LPHANDLER_FUNCTION GetServiceController() override { return &IgnoreControl; }
};

struct Module : TComponent {
  static Module** seen_reference;
  static Module* seen_value;
  explicit Module(TComponent* owner) : TComponent(owner) { seen_value = *seen_reference; }
};
Module** Module::seen_reference = nullptr;
Module* Module::seen_value = nullptr;

struct FailingService : TService {
  explicit FailingService(TComponent* owner) : TService(owner) {
    throw Exception(L"service construction failed");
  }
  LPHANDLER_FUNCTION GetServiceController() override { return &IgnoreControl; }
};

bool QuitPosted() {
  MSG msg;
  return PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

}  // namespace

TEST(ServiceApplication, ServicesBelongToItAndEverythingElseToTheApplication) {
  TServiceApplication service_application;
  EXPECT_EQ(ServiceApplication, &service_application);
  EXPECT_EQ(service_application.EventLogger().Name(), L"service_tests.exe");

  TestService* service = nullptr;
  service_application.CreateForm(service);
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->Owner(), &service_application);

  Module* module = nullptr;
  Module::seen_reference = &module;
  service_application.CreateForm(module);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(Module::seen_value, module) << "the reference must be set while the module is built";
  EXPECT_EQ(module->Owner(), Application);

  FailingService* failing = reinterpret_cast<FailingService*>(1);
  EXPECT_THROW(service_application.CreateForm(failing), Exception);
  EXPECT_EQ(failing, nullptr);

  EXPECT_EQ(service_application.Services(), std::vector<TService*>{service});
  delete module;
}

TEST(ServiceApplication, InitializeHidesTheMainFormAndLogsHandedOverErrors) {
  EventLogWatch log;
  {
    TServiceApplication service_application;
    service_application.Initialize();
    EXPECT_FALSE(Application->ShowMainForm);
    service_application.Initialize();  // a second call changes nothing
    // Not an install or uninstall run: an error handed to the application object is logged,
    // not shown in a box that nobody could close.
    try {
      throw Exception(L"handed over");
    } catch (...) {
      Application->HandleException(nullptr);
    }
    try {
      throw EAbort();
    } catch (...) {
      Application->HandleException(nullptr);
    }
  }
  EXPECT_FALSE(Application->OnException) << "destruction must clear the error handler";
  EXPECT_EQ(log.Entries(), std::vector<std::wstring>{L"handed over"});
}

TEST(ServiceApplication, SessionEndDoesNotEndTheProgram) {
  {
    TServiceApplication service_application;
    SendMessageW(Application->Handle(), WM_ENDSESSION, TRUE, 0);
    EXPECT_FALSE(QuitPosted()) << "WM_ENDSESSION must not end the loop";
  }
  // Without the hook the application object would end the loop: the check above can fail.
  SendMessageW(Application->Handle(), WM_ENDSESSION, TRUE, 0);
  EXPECT_TRUE(QuitPosted());
}

TEST(ServiceApplication, ServiceMainProcEntersTheServiceNamedFirstInAnyCase) {
  EventLogWatch log;
  TServiceApplication service_application;
  TestService* service = nullptr;
  service_application.CreateForm(service);
  wchar_t other[] = L"svOther", upper[] = L"SVTEST";
  wchar_t* other_argv[] = {other};
  wchar_t* upper_argv[] = {upper};
  // On a thread of its own, as the SCM's dispatcher would call it.
  std::thread([&] {
    ServiceMainProc(1, other_argv);
    ServiceMainProc(0, nullptr);
  }).join();
  EXPECT_TRUE(service->Params().empty());
  std::thread([&] { ServiceMainProc(1, upper_argv); }).join();
  EXPECT_EQ(service->Params(), std::vector<std::wstring>{L"SVTEST"});
  // Outside the SCM the entry can only log why its handler was refused.
  EXPECT_EQ(log.Entries(), std::vector<std::wstring>{SystemText(ERROR_SERVICE_DOES_NOT_EXIST)});
}

TEST(UnhandledError, BoxTextNamesTypeModuleAddressAndMessage) {
  const void* address = reinterpret_cast<const void*>(static_cast<uintptr_t>(0x4A3F10));
  std::wstring text = UnhandledErrorText(L"EOSError", L"velotarnsvc.exe", address,
                                         L"System Error.  Code: 5.\r\nAccess denied");
  EXPECT_EQ(text.substr(0, 44), L"Exception EOSError in module velotarnsvc.exe");
  EXPECT_NE(text.find(L" at 00000000004A3F10.\r\n"), std::wstring::npos) << WideToUtf8(text);
  EXPECT_EQ(text.substr(text.find(L".\r\n") + 3),
            L"System Error.  Code: 5.\r\nAccess denied.\r\n");
  // A message that ends with "." gets no second one.
  std::wstring dotted = UnhandledErrorText(L"Exception", L"m.exe", nullptr, L"done.");
  EXPECT_EQ(dotted.substr(dotted.find(L".\r\n") + 3), L"done.\r\n");
}
