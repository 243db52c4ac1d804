// One port of the production loop: it waits for a receiver to answer the connection test,
// hands it to the command's own steps (an upgrade as upgrade does it, a read as read does,
// one log line each), waits until the receiver has gone, and then for the next, until the
// run is over. A receiver is handled once for each time it is put on the cable: it has gone
// when it has not answered for longer than its restart took (at least 3 s), or when its port
// has gone away with it; and an answer after a missed connection test is read once to tell
// whether it is still the receiver handled or the next one, put on quicker than that.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "cli/console/console_output.h"
#include "cli/console/event_reporter.h"
#include "cli/console/port_summary.h"
#include "cli/ports/port_selection.h"
#include "cli/transfers/connection_probe.h"
#include "cli/transfers/held_flash.h"
#include "cli/transfers/proven_read.h"
#include "cli/watch/receiver_check.h"
#include "cli/watch/watch_tally.h"

namespace cli {

// What the loop needs to know of the command each receiver gets.
struct WatchOptions {
  int baud = 115200;
  bool quiet = false;
  bool fast = true;
  bool once = false;
  bool noVerify = false;  // a receiver written restarts while the port waits
  std::chrono::seconds restartWait{120};
  CheckImages images;  // what a read that tells receivers apart may equal
};

// The command's own steps for the receiver that has answered, told through its reporter;
// what it came to. told: the receiver's flash, proven already by the read that told it from
// the last one (null: none); held: what the receiver holds as far as the run knows.
using ReceiverHandler =
    std::function<PortSummary(EventReporter& reporter, const ProvenFlash* told, HeldFlash& held)>;

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
  PortSummary Handle(const ProvenFlash* told, HeldFlash& held);
  // Until the receiver has gone, or the run is over, or another receiver is told by a read
  // (told then holds it); handled: when its handling ended.
  void AwaitDeparture(ConnectionProbe& probe, const PortSummary& box, const HeldFlash& held,
                      Clock::time_point handled, EventReporter& states,
                      std::optional<ProvenFlash>& told);
  // The port's line as the receiver left it: done, up to date or failed.
  void ShowHandled(const PortSummary& box, EventReporter& states);

  WatchOptions options_;
  ReceiverHandler handle_;
  ConsoleOutput& output_;
  EventReporter::Style style_;
  PortSelection selection_;
  std::size_t slot_;
  bool several_;
  WatchTally& tally_;
  ReceiverCheck check_;
};

}  // namespace cli
