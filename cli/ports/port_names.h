// Ports as a user names them on the command line, and as lines, events and file names give
// them back.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// A whole number as a user types it, from low to high; false for anything else.
bool ParseNumber(std::string_view text, int low, int high, int& value);

// A port as the user names it: 1 to 4 or COMn give n, a device path or a network port
// (rfc2217://HOST:PORT, socket://HOST:PORT) gives 0; false for anything that looks like
// none of them (a bare digit beyond 4, COM with no number, a malformed network port).
bool ParsePortName(const std::string& text, int& comNumber);

// False with the reason for a port name ParsePortName does not take.
bool CheckPortName(const std::string& text, std::string& error);

// A port as every line and event names it: COMn for 1 to 4 and COMn, else the path given.
std::string PortLabel(const std::string& name);
// A port as part of a file name: COM2, or a device's own name (ttyUSB0), with anything a
// file name cannot hold made '_'.
std::string FileLabel(const std::string& port);
// The file of one of several ports: "rom.bin" for COM2 is "rom-COM2.bin".
std::string FileForPort(const std::string& path, const std::string& port);

}  // namespace cli
