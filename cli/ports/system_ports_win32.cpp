#include <string>
#include <vector>

#include "cli/ports/system_ports.h"
#include "link/com_ports.h"

namespace cli {

std::vector<std::string> ListSerialPorts() {
  std::vector<std::string> ports;
  for (const comm::SystemComPort& port : comm::ListComPorts()) {
    ports.push_back("COM" + std::to_string(port.number));
  }
  return ports;
}

PortIdentity IdentifyPort(const std::string& port) {
  // "COM3", "\\.\COM12" or a bare number all name COMn.
  std::string com = port.substr(port.rfind('\\') == std::string::npos ? 0 : port.rfind('\\') + 1);
  if (com.size() > 3 && (com[0] == 'C' || com[0] == 'c') && (com[1] == 'O' || com[1] == 'o') &&
      (com[2] == 'M' || com[2] == 'm')) {
    com.erase(0, 3);
  }
  if (com.empty() || com.size() > 6 || com.find_first_not_of("0123456789") != std::string::npos) {
    return PortIdentity{};
  }
  return comm::IdentifyComPort(std::stoi(com));
}

std::string AccessRemedy(const std::string& /*device*/) {
  return std::string();  // Windows answers "access denied" for a port in use: see busy
}

std::string ModemManagerHint(const std::string& /*device*/, bool /*busy*/) {
  return std::string();  // a Linux service
}

}  // namespace cli
