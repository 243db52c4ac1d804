// vesker-link bridge: a pseudo-terminal that leads to a serial device server's port, for
// programs that only open serial devices (Vesker Link under Wine, through its launcher).
#pragma once

#include "cli/command_line.h"

namespace cli {

// Runs the bridge of line (its one network port, its LINK) until a signal stops it; the
// exit code: 0 when stopped, 4 when the server cannot be reached at the start.
int RunBridge(const CommandLine& line);

}  // namespace cli
