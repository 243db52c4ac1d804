// Timer ticks of a headless dialog in step with a simulated receiver on a real pty.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/support/sim_line.h"
#include "ui/headless/headless_host.h"

namespace vltest {

// Runs the dialog's 50 ms ticks until it ends or stops its timers (or maxTicks). Before each
// tick the receiver has sent what was due; while it holds something back the ticks follow
// real time, so its pauses count as they would on a real line.
inline void PumpTicks(ui::HeadlessHost& host, SimulatedReceiver& receiver, int maxTicks = 100000) {
  host.Then([&host, &receiver, maxTicks](ui::HeadlessWindow& dialog) {
    using namespace std::chrono_literals;
    for (int i = 0; i < maxTicks && !dialog.Ended() && !dialog.RunningTimers().empty(); ++i) {
      const auto later = receiver.Settle();
      if (later > 0ms) {
        std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(later, 50ms));
      }
      host.AdvanceNow(50);
    }
  });
}

}  // namespace vltest
