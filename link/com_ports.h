// The COM ports this system has, and what it says of the adapter behind each: for the port
// choice of the program's dialogs, and for vesker-link's probe.
#pragma once

#include <vector>

#include "link/port_identity.h"

namespace comm {

struct SystemComPort {
  int number = 0;  // n of COMn
  PortIdentity adapter;
};

// The COM ports there are, by number, each with what the system says of its adapter. On
// Windows the COM devices it has (a USB adapter gets whatever number is free: COM7, COM12); on
// POSIX systems each COMn whose device SerialPort would open is there (a comN link in the
// port map folder, as Wine's dosdevices, else /dev/ttyS<n-1>), and says nothing of it.
std::vector<SystemComPort> ListComPorts();

// What the system says of COM<number>'s adapter: on Windows the record Device Manager shows.
PortIdentity IdentifyComPort(int number);

}  // namespace comm
