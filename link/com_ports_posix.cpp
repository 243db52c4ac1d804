#include <sys/stat.h>

#include "link/com_ports.h"
#include "link/serial_port.h"

namespace comm {

namespace {
// Windows numbers its COM ports up to COM256; so does Wine, whose map this follows.
constexpr int kLastComNumber = 256;
}  // namespace

std::vector<SystemComPort> ListComPorts() {
  std::vector<SystemComPort> ports;
  for (int n = 1; n <= kLastComNumber; ++n) {
    // A link counts whether or not its device is there now, as a Wine dosdevices entry does.
    struct stat status {};
    const std::string device = SerialPort::DevicePath(n);
    if (!device.empty() && ::lstat(device.c_str(), &status) == 0) {
      ports.push_back(SystemComPort{n, PortIdentity{}});
    }
  }
  return ports;
}

PortIdentity IdentifyComPort(int /*number*/) {
  return PortIdentity{};  // a COMn here is a link the program was given, not a device it knows
}

}  // namespace comm
