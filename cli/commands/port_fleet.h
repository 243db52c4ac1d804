// vesker-link on several ports at once, or on every port found. Each port runs the command
// with its own console host, dialogs and serial port on a thread of its own, so a port that
// fails costs only itself; the run ends with a summary over all of them. The production loop
// (watch) runs the same way, each port handling one receiver after another.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "cli/commands/command_line.h"
#include "cli/commands/companion_commands.h"
#include "cli/console/console_output.h"
#include "cli/console/event_reporter.h"
#include "cli/log/log_file.h"

namespace cli {

// The exit code of a run over several ports: 0 when every port succeeded, else the code the
// failures share, else 1.
int CombinedExitCode(const std::vector<PortSummary>& ports);

class PortFleet {
 public:
  // log: where each port's run is logged too; null: nowhere. known: the images a read may
  // equal, shared by the ports; null: none.
  PortFleet(const CommandLine& line, ConsoleOutput& output, EventReporter::Style style,
            const LogFile* log = nullptr, KnownImages* known = nullptr);

  // The command on each port, side by side.
  int Run(const std::vector<std::string>& ports);
  // Who answers on each port (the ports given, else every serial port found); with --list
  // only the ports found.
  int Probe();
  // The production loop on each port (none given: the one kept in Pelto.cfg) until Ctrl-C
  // or --count receivers; a summary of every receiver handled ends it.
  int Watch(std::vector<std::string> ports);

 private:
  // Runs the command on every port; style: how each port reports.
  std::vector<PortSummary> RunAll(const std::vector<std::string>& ports,
                                  EventReporter::Style style);
  // work(i) for each of count ports on a thread of its own, until all are done; whatever
  // befalls one port, the others go on (failed(i) says what became of it).
  static void SideBySide(std::size_t count, const std::function<void(std::size_t)>& work,
                         const std::function<void(std::size_t)>& failed);
  // A row for each port's run (or each receiver's); the last column: the backup an upgrade
  // read first, or the file a read wrote.
  void PrintSummary(const std::vector<PortSummary>& ports, bool files) const;
  // After the table: for each upgrade that may have left wrong software, the command that
  // writes its backup back.
  void PrintRestores(const std::vector<PortSummary>& ports) const;
  // shown: on stdout too (--json), not only to the bench page.
  void EmitResult(const std::string& command, int exitCode, const Json& details,
                  bool shown = true) const;
  // A run that cannot start: its message, and how it ends.
  int Refuse(const std::string& command, int exitCode, const std::string& message) const;
  // The command that runs this one again on the ports that failed; empty when none did.
  std::string RetryCommand(const std::vector<std::string>& ports,
                           const std::vector<PortSummary>& summaries) const;

  const CommandLine& line_;
  ConsoleOutput& output_;
  EventReporter::Style style_;
  const LogFile* log_;
  KnownImages* known_;
};

}  // namespace cli
