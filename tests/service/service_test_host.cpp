// service_test_host.exe: the service host of velotarnsvc.exe around a small module of its own
// instead of the control module, so that tests can watch the host from outside: when the module
// is created and destroyed, and in which service state. None of its arguments is a switch:
//   probe       the module reports "created" and "destroyed <SCM state of svVelotarn>" as
//               messages on the pipe \\.\pipe\VelotarnHostProbe, if a test serves it;
//   failcreate  the module's create handler raises "create handler failed on purpose";
//   failentry   the entry raises "entry failed on purpose" after creating the module.
#include <windows.h>

#include <string>

#include "runtime/application.h"
#include "runtime/exceptions.h"
#include "runtime/handles.h"
#include "runtime/text.h"
#include "service/command_line.h"
#include "service/service_application.h"
#include "service/service_program.h"
#include "service/sv_velotarn.h"

using namespace velotarn;

namespace {

bool HasArgument(const wchar_t* word) {
  for (const std::wstring& arg : SplitCommandLine(GetCommandLineW()))
    if (arg == word) return true;
  return false;
}

// Stands where the control module stands: created by the application object after the service
// object, destroyed by the exit step before it. Main thread only.
class TTestModule : public TComponent {
 public:
  explicit TTestModule(TComponent* owner) : TComponent(owner) {
    try {
      DataModuleCreate();
    } catch (...) {
      Application->HandleException(this);
    }
  }
  ~TTestModule() override { Report(Format(L"destroyed %lu", ServiceState())); }

 private:
  void DataModuleCreate() {
    if (HasArgument(L"probe")) {
      probe_.reset(CreateFileW(L"\\\\.\\pipe\\VelotarnHostProbe", GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr));
      Report(L"created");
    }
    if (HasArgument(L"failcreate")) throw Exception(L"create handler failed on purpose");
  }

  static DWORD ServiceState() {
    unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    unique_schandle service(
        manager ? OpenServiceW(manager.get(), L"svVelotarn", SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
    return status.dwCurrentState;
  }

  void Report(const std::wstring& text) {
    if (!probe_) return;
    std::string bytes = WideToUtf8(text);
    DWORD written = 0;
    WriteFile(probe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }

  unique_handle probe_;
};

TTestModule* dmTestModule = nullptr;

}  // namespace

int main() {
  return RunServiceProgram([] {
    ServiceApplication->Initialize();
    ServiceApplication->CreateForm(svVelotarn);
    ServiceApplication->CreateForm(dmTestModule);
    if (HasArgument(L"failentry")) throw Exception(L"entry failed on purpose");
    ServiceApplication->Run();
  });
}
