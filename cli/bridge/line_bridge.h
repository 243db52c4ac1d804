// vesker-link bridge: a pseudo-terminal that leads to a serial device server's port, for
// programs that only open serial devices (Vesker Link under Wine, through its launcher).
#pragma once

#include <string>

#include "cli/console/exit_code.h"

namespace cli {

// Runs the bridge from LINK (a pty the link names) to the network port url, its line at
// baud, until a signal stops it; the exit code: 0 when stopped, 4 when the server cannot be
// reached at the start.
int RunBridge(const std::string& url, const std::string& link, int baud);

}  // namespace cli
