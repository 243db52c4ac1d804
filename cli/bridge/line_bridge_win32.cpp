#include <cstdio>

#include "cli/bridge/line_bridge.h"

namespace cli {

int RunBridge(const std::string& /*url*/, const std::string& /*link*/, int /*baud*/) {
  // A Windows program reaches a device server through the server's own virtual COM driver.
  std::fprintf(stderr,
               "vesker-link: bridge runs on Linux; on Windows use the device "
               "server's virtual COM port driver\n");
  return kExitUsage;
}

}  // namespace cli
