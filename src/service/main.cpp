// velotarnsvc.exe: the process that hosts the service svVelotarn. The entry creates the service
// object and the control module on the main thread, in that order, in every mode (so the pipe
// is served from here on, also during an install or uninstall run), then installs, uninstalls
// or runs as a service.
#include "control/ovpn_control.h"
#include "service/service_application.h"
#include "service/service_program.h"
#include "service/sv_velotarn.h"

int main() {
  using namespace velotarn;
  return RunServiceProgram([] {
    ServiceApplication->Initialize();
    ServiceApplication->CreateForm(svVelotarn);
    ServiceApplication->CreateForm(dmOvpnControl);
    ServiceApplication->Run();
  });
}
