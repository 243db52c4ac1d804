// The production loop's run over all its ports: every receiver handled and how it came out,
// the counts and the rate (a live line of its own on a terminal, a line or a "counts" event
// after each receiver elsewhere), and whether the run is over: Ctrl-C, or --count receivers
// handled.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "cli/console/console_output.h"
#include "cli/console/event_reporter.h"
#include "cli/console/port_summary.h"

namespace cli {

class WatchTally {
 public:
  // count: the receivers to handle in all, 0 for no end; slot: the counts' live line.
  WatchTally(ConsoleOutput& output, EventReporter::Style style, int count, std::size_t slot);

  // On a terminal, the counts' line from the start.
  void Start();
  // Whether a port may take on the receiver that has just answered on it: not once --count
  // receivers have been taken on.
  bool Claim();
  // A receiver handled, however it came out.
  void Handled(const PortSummary& box);
  // Whether the ports stop: on Ctrl-C, or once the last of --count has been handled.
  bool Over() const;

  std::vector<PortSummary> Boxes() const;
  // "done 3, up to date 1, failed 0; 41 boxes per hour", and as JSON.
  std::string CountsText() const;
  Json CountsJson() const;
  // The counts' live line goes, before the run's summary.
  void CloseLine();

 private:
  struct Counts {
    int done = 0;
    int upToDate = 0;
    int failed = 0;
    double perHour = 0;
  };
  Counts Take() const;  // under the lock
  void Show();

  ConsoleOutput& output_;
  EventReporter::Style style_;
  int count_;
  std::size_t slot_;
  std::chrono::steady_clock::time_point start_;
  mutable std::mutex mutex_;
  int claimed_ = 0;
  std::vector<PortSummary> boxes_;
};

}  // namespace cli
