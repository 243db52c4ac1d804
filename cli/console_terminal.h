// What the command line needs from the system it runs on.
#pragma once

#include <string>

namespace cli {

// True when progress goes to a terminal that can redraw a line.
bool StderrIsTerminal();

// UTF-8 output, so that "！" and the key captions show as they are.
void PrepareConsole();

// The local time now as "yyyymmdd-hhmmss", for backup names.
std::string LocalTimeStamp();

// The device that opens COM<n> under any other port number.
std::string ComDevice(int n);
// Whether COM<n> opens only under its device name (Windows: COM10 and up).
bool NeedsComDevice(int n);

}  // namespace cli
