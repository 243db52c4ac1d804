// What the command line needs from the system it runs on.
#pragma once

#include <ctime>
#include <string>

namespace cli {

// True when progress goes to a terminal that can redraw a line.
bool StderrIsTerminal();

// UTF-8 output, so that "！" and the key captions show as they are.
void PrepareConsole();

// A moment in local time.
std::tm LocalTime(std::time_t moment);

// The device that opens COM<n> under any other port number.
std::string ComDevice(int n);
// Whether COM<n> opens only under its device name (Windows: COM10 and up).
bool NeedsComDevice(int n);

}  // namespace cli
