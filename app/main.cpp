// VeskerLink.exe: the service tool on the Win32 dialog manager.
#include "app/service_app.h"
#include "ui/win32/timer_resolution.h"
#include "ui/win32/win32_host.h"

int main() {
  const ui::TimerResolution resolution;
  ui::Win32Host host;
  ui::Host::Install(&host);
  return app::ServiceApp().Run();
}
