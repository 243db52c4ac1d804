// vesker-link on several ports at once, or on every port found. Each port runs the command
// with its own console host, dialogs and serial port on a thread of its own, so a port that
// fails costs only itself; the run ends with a summary over all of them.
#pragma once

#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/companion_commands.h"
#include "cli/console_output.h"
#include "cli/event_reporter.h"
#include "cli/log_file.h"

namespace cli {

// The exit code of a run over several ports: 0 when every port succeeded, else the code the
// failures share, else 1.
int CombinedExitCode(const std::vector<PortSummary>& ports);

class PortFleet {
 public:
  // log: where each port's run is logged too; null: nowhere.
  PortFleet(const CommandLine& line, ConsoleOutput& output, EventReporter::Style style,
            const LogFile* log = nullptr);

  // The command on each port, side by side.
  int Run(const std::vector<std::string>& ports);
  // Who answers on each port (the ports given, else every serial port found); with --list
  // only the ports found.
  int Probe();

 private:
  // Runs the command on every port; style: how each port reports.
  std::vector<PortSummary> RunAll(const std::vector<std::string>& ports,
                                  EventReporter::Style style);
  void PrintSummary(const std::vector<PortSummary>& ports) const;
  void EmitResult(int exitCode, const std::string& portsJson,
                  const std::string& retry = std::string()) const;
  // The command that runs this one again on the ports that failed; empty when none did.
  std::string RetryCommand(const std::vector<std::string>& ports,
                           const std::vector<PortSummary>& summaries) const;

  const CommandLine& line_;
  ConsoleOutput& output_;
  EventReporter::Style style_;
  const LogFile* log_;
};

}  // namespace cli
