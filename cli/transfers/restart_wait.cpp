#include "cli/transfers/restart_wait.h"

#include <algorithm>

#include "cli/transfers/connection_probe.h"
#include "ui/headless/console_host.h"

namespace cli {

RestartWait::RestartWait(EventReporter& reporter, std::int32_t portIndex, int baud,
                         Clock::time_point deadline)
    : reporter_(reporter),
      portIndex_(portIndex),
      baud_(baud),
      started_(Clock::now()),
      deadline_(deadline) {}

bool RestartWait::Run() {
  const double limit = std::chrono::duration<double>(deadline_ - started_).count();
  ConnectionProbe probe(portIndex_, baud_);
  while (!ui::ConsoleHost::CancelRequested()) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline_) {
      return false;
    }
    reporter_.Waiting(std::chrono::duration<double>(now - started_).count(), limit);
    if (probe.Ask(std::min(now + ConnectionProbe::kEvery, deadline_)) ==
        ConnectionProbe::Answer::kAnswered) {
      answered_ = Clock::now();
      return true;
    }
  }
  return false;
}

double RestartWait::AnsweredAfter() const {
  return answered_ == Clock::time_point{}
             ? -1.0
             : std::chrono::duration<double>(answered_ - started_).count();
}

}  // namespace cli
