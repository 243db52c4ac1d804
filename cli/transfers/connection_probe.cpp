#include "cli/transfers/connection_probe.h"

#include <thread>

#include "link/frames.h"

namespace cli {

namespace {

// After twelve bytes, the moment in which more would show that they were no acknowledgement
// alone.
constexpr auto kNothingMore = std::chrono::milliseconds(30);

void Discard(comm::CommandPort& port) {
  std::uint8_t bytes[512];
  while (port.InQueueCount() > 0 && port.Read(bytes, sizeof(bytes)) > 0) {
  }
}

}  // namespace

ConnectionProbe::Answer ConnectionProbe::Ask(Clock::time_point until) {
  if (!port_.IsOpen() && port_.Open(comm::ComNumber(portIndex_), baud_)) {
    port_.SetBinaryMode(true);
  }
  if (!port_.IsOpen()) {
    std::this_thread::sleep_until(until);
    return Answer::kNoPort;
  }
  // Whatever came before (the tail of a restart, a box's chatter) is no answer to this one.
  Discard(port_);
  if (port_.SendCommand(comm::CMD_CONNECT) != static_cast<int>(comm::kFrameSize)) {
    port_.Close();  // a line that is gone: opened again when it is back
    std::this_thread::sleep_until(until);
    return Answer::kNoPort;
  }
  if (port_.WaitForInput(static_cast<int>(comm::kFrameSize), until)) {
    std::this_thread::sleep_for(kNothingMore);
    if (port_.InQueueCount() == static_cast<int>(comm::kFrameSize)) {
      comm::Frame reply{};
      port_.Read(reply.data(), static_cast<int>(reply.size()));
      if (reply == comm::AckFrame) {
        return Answer::kAnswered;
      }
    }
    Discard(port_);
    std::this_thread::sleep_until(until);
  }
  return Answer::kSilent;
}

}  // namespace cli
