// The parts of SerialPort that work on its own input queue alike on every platform.
#include "link/serial_port.h"

namespace comm {

std::map<int, std::string>& SerialPort::PortMap() {
  static std::map<int, std::string> devices;
  return devices;
}

void SerialPort::MapPort(int port, const std::string& device) {
  if (device.empty()) {
    PortMap().erase(port);
  } else {
    PortMap()[port] = device;
  }
}

std::string SerialPort::MappedDevice(int port) {
  const auto found = PortMap().find(port);
  return found == PortMap().end() ? std::string() : found->second;
}

int SerialPort::InQueueCount() {
  if (!open_) {
    return 0;
  }
  Drain();
  return static_cast<int>(queue_.Count()) + (queue_.Room() == 0 ? SystemCount() : 0);
}

int SerialPort::Read(void* buffer, int capacity) {
  if (!open_ || buffer == nullptr || capacity <= 0) {
    return 0;
  }
  // The queue first; what the system holds follows as the queue makes room.
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t taken = 0;
  const auto wanted = static_cast<std::size_t>(capacity);
  while (taken < wanted) {
    Drain();
    const std::size_t got = queue_.Take(out + taken, wanted - taken);
    if (got == 0) {
      break;
    }
    taken += got;
  }
  return static_cast<int>(taken);
}

}  // namespace comm
