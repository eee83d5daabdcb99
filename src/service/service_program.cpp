#include "service/service_program.h"

#include <cassert>
#include <memory>

#include "runtime/application.h"
#include "runtime/exit_code.h"
#include "runtime/synchronize.h"
#include "service/service_application.h"
#include "service/unhandled_error.h"

namespace velotarn {

namespace {
// The exit step, whichever way the entry ended.
class ExitStep {
 public:
  ~ExitStep() {
    if (application) application->DestroyComponents();
    if (service_application) service_application->DestroyComponents();
    service_application.reset();
    application.reset();
  }
  std::unique_ptr<TApplication> application;
  std::unique_ptr<TServiceApplication> service_application;
};
}  // namespace

int RunServiceProgram(const std::function<void()>& entry) {
  assert(IsMainThread());
  ExitStep exit_step;
  try {
    exit_step.application = std::make_unique<TApplication>();
    exit_step.service_application = std::make_unique<TServiceApplication>();
    entry();
  } catch (...) {
    // Recorded before the exit step: the control module's destroy handler ends its children
    // with the code the process will end with.
    SetExitCode(1);
    ReportUnhandledError();
  }
  return ExitCode();
}

}  // namespace velotarn
