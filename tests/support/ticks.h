// Timer ticks of a headless dialog in step with a simulated receiver on a real pty.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
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

// Bytes the test puts on a line before given ticks of a dialog: before tick n (1 for the
// first) the bytes at n reach the port, each piece at most what a tty holds (4095 bytes).
using LineScript = std::map<int, std::string>;

// Runs up to maxTicks ticks of the dialog against the scripted line, stopping when it ends
// or stops its timers; what the dialog sent is added to wire as it goes, so the line never
// fills. The host's clock moves 50 ms a tick and nothing else waits on real time.
inline void ScriptTicks(ui::HeadlessHost& host, const BarePty& line, LineScript script,
                        int maxTicks, std::string& wire) {
  host.Then(
      [&host, &line, script = std::move(script), maxTicks, &wire](ui::HeadlessWindow& dialog) {
        for (int tick = 1; tick <= maxTicks && !dialog.Ended() && !dialog.RunningTimers().empty();
             ++tick) {
          if (const auto bytes = script.find(tick); bytes != script.end()) {
            line.Send(bytes->second);
            EXPECT_TRUE(line.Delivered(bytes->second.size())) << "tick " << tick;
          }
          host.AdvanceNow(50);
          wire += line.Received(0);
        }
      });
}

}  // namespace vltest
