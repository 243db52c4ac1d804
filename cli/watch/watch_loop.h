// One port of the production loop: it waits for a receiver to answer the connection test,
// hands it to the command's own steps (an upgrade as upgrade does it, a read as read does,
// one log line each), waits until the receiver has gone, and then for the next, until the
// run is over. A receiver is handled once for each time it is put on the cable: it has gone
// when it has not answered for longer than its restart took (at least 3 s), or when its port
// has gone away with it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "cli/console/console_output.h"
#include "cli/console/event_reporter.h"
#include "cli/console/port_summary.h"
#include "cli/ports/port_selection.h"
#include "cli/transfers/connection_probe.h"
#include "cli/watch/watch_tally.h"

namespace cli {

// What the loop needs to know of the command each receiver gets.
struct WatchOptions {
  int baud = 115200;
  bool quiet = false;
  bool noVerify = false;  // a receiver written restarts while the port waits
  std::chrono::seconds restartWait{120};
};

// The command's own steps for the receiver that has answered, told through its reporter;
// what it came to.
using ReceiverHandler = std::function<PortSummary(EventReporter& reporter)>;

class WatchLoop {
 public:
  // port: as the user named it; slot: the port's live line; several: one of several ports,
  // whose lines carry its name.
  WatchLoop(const WatchOptions& options, ReceiverHandler handle, ConsoleOutput& output,
            EventReporter::Style style, const std::string& port, std::size_t slot, bool several,
            WatchTally& tally);

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

  WatchOptions options_;
  ReceiverHandler handle_;
  ConsoleOutput& output_;
  EventReporter::Style style_;
  PortSelection selection_;
  std::size_t slot_;
  bool several_;
  WatchTally& tally_;
};

}  // namespace cli
