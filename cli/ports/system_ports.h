// Serial ports as the system knows them: which there are, what is behind each, and what a
// user does about one they may not open.
#pragma once

#include <string>
#include <vector>

#include "link/port_identity.h"

namespace cli {

// The serial ports there are, in a stable order: on POSIX systems /dev/serial/by-id/*,
// /dev/ttyUSB*, /dev/ttyACM* and the /dev/ttyS* that have a device behind them, each device
// once (VESKER_LINK_DEV names another folder than /dev, for tests); on Windows the COM
// ports that exist.
std::vector<std::string> ListSerialPorts();

// What the system knows of the device behind a serial port; empty for what it does not say.
using comm::PortIdentity;

// Linux: what sysfs says of the device (any name of it: a by-id link, ttyUSB0); Windows:
// SetupAPI's record of COMn. A pty or a port without a device has none.
PortIdentity IdentifyPort(const std::string& port);

// What a user does about a device that the system does not let them open; empty when
// there is no usual remedy.
std::string AccessRemedy(const std::string& device);

// When ModemManager runs (Linux), what a user is told of a port that is busy or of a newly
// appeared device that does not answer: it may be probing the port, and how to make it
// leave the adapter alone. Empty otherwise.
std::string ModemManagerHint(const std::string& device, bool busy);

}  // namespace cli
