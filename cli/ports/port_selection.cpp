#include "cli/ports/port_selection.h"

#include "app/service_app.h"
#include "cli/ports/port_names.h"
#include "link/command_port.h"
#include "link/serial_port.h"

namespace cli {

PortSelection::PortSelection(const std::string& name) {
  int n = 0;
  if (name.empty() || !ParsePortName(name, n)) {
    // As the program starts: the index kept in Pelto.cfg, whatever value it holds.
    index_ = app::LoadStartUpConfig().portIndex;
    label_ = "COM" + std::to_string(comm::ComNumber(index_));
    return;
  }
  if (n == 0) {
    // A device by its path stands in for COM1.
    Map(1, name);
    index_ = 0;
    label_ = name;
    return;
  }
  index_ = n - 1;
  label_ = "COM" + std::to_string(n);
}

PortSelection::~PortSelection() {
  for (auto it = earlier_.rbegin(); it != earlier_.rend(); ++it) {
    comm::SerialPort::MapPort(it->first, it->second);
  }
}

void PortSelection::Map(int n, const std::string& device) {
  earlier_.emplace_back(n, comm::SerialPort::MappedDevice(n));
  comm::SerialPort::MapPort(n, device);
}

}  // namespace cli
