// One port of the production loop: it waits for a receiver to answer the connection test,
// hands it to the command's own steps (an upgrade as upgrade does it, a read as read does,
// one log line each), waits until the receiver has gone, and then for the next, until the
// run is over. A receiver is handled once for each time it is put on the cable: it has gone
// when it has not answered for longer than its restart took (at least 3 s), or when its port
// has gone away with it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/connection_probe.h"
#include "cli/console_output.h"
#include "cli/event_reporter.h"
#include "cli/log_file.h"
#include "cli/port_selection.h"
#include "cli/watch_tally.h"

namespace cli {

// A ROM file checked once for all the receivers of a run.
struct CheckedFile {
  std::vector<std::uint8_t> bytes;
  int variant = -1;
};

class WatchLoop {
 public:
  // boxLine: the command each receiver gets (upgrade FILE, or read FOLDER); file: what an
  // upgrade writes (null for a read); slot: the port's live line; several: one of several
  // ports, whose lines and backups carry its name.
  WatchLoop(const CommandLine& boxLine, ConsoleOutput& output, EventReporter::Style style,
            std::string port, std::size_t slot, bool several, const LogFile* log,
            const CheckedFile* file, WatchTally& tally);

  void Run();

 private:
  using Clock = std::chrono::steady_clock;

  // False when the run ended first.
  bool AwaitArrival(ConnectionProbe& probe, EventReporter& states);
  // A port that cannot be opened: what the user is shown, when it changes.
  void ShowTrouble(const comm::SerialPort& port, EventReporter& states, std::string& shown);
  PortSummary Handle();
  // Until the receiver has gone, or the run is over; handled: when its handling ended.
  void AwaitDeparture(ConnectionProbe& probe, const PortSummary& box, Clock::time_point handled);

  const CommandLine& line_;
  ConsoleOutput& output_;
  EventReporter::Style style_;
  std::string port_;
  PortSelection selection_;
  std::size_t slot_;
  bool several_;
  const LogFile* log_;
  const CheckedFile* file_;
  WatchTally& tally_;
};

}  // namespace cli
