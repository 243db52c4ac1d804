#include "cli/restart_wait.h"

#include <algorithm>
#include <thread>

#include "link/command_port.h"
#include "link/frames.h"
#include "ui/headless/console_host.h"

namespace cli {

namespace {

constexpr auto kAskEvery = std::chrono::seconds(1);
// After twelve bytes, the moment in which more would show that they were no acknowledgement
// alone.
constexpr auto kNothingMore = std::chrono::milliseconds(30);

void Discard(comm::CommandPort& port) {
  std::uint8_t bytes[512];
  while (port.InQueueCount() > 0 && port.Read(bytes, sizeof(bytes)) > 0) {
  }
}

}  // namespace

RestartWait::RestartWait(EventReporter& reporter, std::int32_t portIndex, int baud,
                         Clock::time_point deadline)
    : reporter_(reporter),
      portIndex_(portIndex),
      baud_(baud),
      started_(Clock::now()),
      deadline_(deadline) {}

bool RestartWait::Run() {
  const double limit = std::chrono::duration<double>(deadline_ - started_).count();
  comm::CommandPort port;
  while (!ui::ConsoleHost::CancelRequested()) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline_) {
      return false;
    }
    reporter_.Waiting(std::chrono::duration<double>(now - started_).count(), limit);
    const Clock::time_point next = std::min(now + kAskEvery, deadline_);
    if (!port.IsOpen() && port.Open(comm::ComNumber(portIndex_), baud_)) {
      port.SetBinaryMode(true);
    }
    if (!port.IsOpen()) {
      std::this_thread::sleep_until(next);
      continue;
    }
    // Whatever came before (the tail of a restart) is no answer to this question.
    Discard(port);
    if (port.SendCommand(comm::CMD_CONNECT) != static_cast<int>(comm::kFrameSize)) {
      port.Close();  // a line that is gone: open it again when it is back
      std::this_thread::sleep_until(next);
      continue;
    }
    if (port.WaitForInput(static_cast<int>(comm::kFrameSize), next)) {
      std::this_thread::sleep_for(kNothingMore);
      if (port.InQueueCount() == static_cast<int>(comm::kFrameSize)) {
        comm::Frame reply{};
        port.Read(reply.data(), static_cast<int>(reply.size()));
        if (reply == comm::AckFrame) {
          return true;
        }
      }
      Discard(port);
      std::this_thread::sleep_until(next);
    }
  }
  return false;
}

}  // namespace cli
