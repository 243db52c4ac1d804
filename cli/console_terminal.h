// What the command line needs from the system it runs on.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace cli {

// True when progress goes to a terminal that can redraw a line.
bool StderrIsTerminal();

// UTF-8 output, so that "！" and the key captions show as they are.
void PrepareConsole();

// A moment in local time.
std::tm LocalTime(std::time_t moment);

// The serial ports there are, in a stable order: on POSIX systems /dev/serial/by-id/*,
// /dev/ttyUSB*, /dev/ttyACM* and the /dev/ttyS* that have a device behind them, each device
// once (VESKER_LINK_DEV names another folder than /dev, for tests); on Windows the COM
// ports that exist.
std::vector<std::string> ListSerialPorts();

// What a user does about a device that the system does not let them open; empty when
// there is no usual remedy.
std::string AccessRemedy(const std::string& device);

// The device that opens COM<n> under any other port number.
std::string ComDevice(int n);
// Whether COM<n> opens only under its device name (Windows: COM10 and up).
bool NeedsComDevice(int n);

}  // namespace cli
