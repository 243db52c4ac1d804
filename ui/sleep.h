// Sleeping until a moment, in whole milliseconds. A thread on Windows sleeps in whole
// milliseconds, and a wait for less than one comes back at once: waiting out a fraction
// that way spins the processor until the moment has come.
#pragma once

#include <chrono>
#include <thread>

namespace ui {

inline void SleepUntil(std::chrono::steady_clock::time_point until) {
  const auto left = until - std::chrono::steady_clock::now();
  if (left > std::chrono::steady_clock::duration::zero()) {
    std::this_thread::sleep_for(std::chrono::ceil<std::chrono::milliseconds>(left));
  }
}

}  // namespace ui
