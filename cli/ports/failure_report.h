// What the command line adds when one of the program's dialogs ends without success: the
// system's reason for a port that cannot be opened and its usual remedy, the hint that
// another program may be probing the port, and the exit code and summary text.
#pragma once

#include <cstdint>
#include <string>

#include "cli/console/event_reporter.h"
#include "link/outcome.h"

namespace cli {

// In a word or two, why a port could not be opened: "busy", "no such device".
std::string OpenFailureWord(comm::PortFailure failure, const std::string& detail);

// Why a port could not be opened, as a user acts on it: the system's reason, and the usual
// remedy where there is one; device is what the port opens.
std::string OpenFailureText(const comm::Outcome& outcome, const std::string& device);

// The exit code of a dialog's outcome.
int ExitCodeFor(const comm::Outcome& outcome);

// What a summary says of an ending: "ok", "cancelled", "cannot open: busy", the message.
std::string ResultText(const comm::Outcome& outcome);

struct FailureReport {
  int exitCode = 0;
  std::string result;
};

// After a dialog on COM(portIndex + 1), named port for the user, ended without success:
// tells the user what the program's own message leaves out, and how the run ends.
FailureReport ReportFailure(EventReporter& reporter, const comm::Outcome& outcome,
                            const std::string& port, std::int32_t portIndex);

}  // namespace cli
