// One line of the bench's log: one port's run, or one receiver of a bench, as a technician
// or a factory's tools read it afterwards.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "cli/console/json_line.h"
#include "cli/console/port_summary.h"

namespace cli {

// The seconds spent in each stage, and how each stage's data were proven, in order.
using StageSeconds = std::vector<std::pair<std::string, double>>;
using StageProofs = std::vector<std::pair<std::string, std::string>>;

// The line for a run of command on file that came to summary, ended now; adapter: what the
// system says of the port's adapter (an object, empty for none).
Json LogRecord(const PortSummary& summary, const std::string& command, const std::string& file,
               const StageSeconds& stages, const StageProofs& proofs, const Json& adapter);

}  // namespace cli
