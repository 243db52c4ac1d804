// The wait for a receiver that saves new software and restarts: the connection test about
// once a second, and nothing else on the line, until it answers or the time is up. A port
// that is gone for a while (an adapter that restarts with its box) is waited for too.
#pragma once

#include <chrono>
#include <cstdint>

#include "cli/console/event_reporter.h"

namespace cli {

class RestartWait {
 public:
  using Clock = std::chrono::steady_clock;

  // deadline: the end of the whole wait, however often it is entered.
  RestartWait(EventReporter& reporter, std::int32_t portIndex, int baud,
              Clock::time_point deadline);

  // True once the receiver has answered; false at the deadline or on Ctrl-C.
  bool Run();
  Clock::time_point Deadline() const { return deadline_; }
  bool TimeLeft() const { return Clock::now() < deadline_; }
  // How long after the wait began the receiver last answered it: its restart, however often
  // it fell silent for it; negative while it has not answered.
  double AnsweredAfter() const;

 private:
  EventReporter& reporter_;
  std::int32_t portIndex_;
  int baud_;
  Clock::time_point started_;
  Clock::time_point deadline_;
  Clock::time_point answered_{};
};

}  // namespace cli
