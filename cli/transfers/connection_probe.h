// The connection test alone, as every wait for a receiver sends it: CMD_CONNECT and the
// acknowledgement back, on a port held open from one test to the next, and nothing else on
// the line. A port that cannot be opened, or whose line has gone (an adapter unplugged with
// its box, a device server that restarts), is opened again at the next test.
#pragma once

#include <chrono>
#include <cstdint>

#include "link/command_port.h"

namespace cli {

class ConnectionProbe {
 public:
  using Clock = std::chrono::steady_clock;
  // A receiver is asked about once a second, never more often.
  static constexpr auto kEvery = std::chrono::seconds(1);

  enum class Answer {
    kAnswered,  // exactly the acknowledgement
    kSilent,    // nothing, or something else
    kNoPort,    // the port cannot be opened, or its line is gone
  };

  ConnectionProbe(std::int32_t portIndex, int baud) : portIndex_(portIndex), baud_(baud) {}

  // One test: back as soon as the receiver answers; otherwise at until, asleep till then.
  Answer Ask(Clock::time_point until);
  // Lets go of the port, so that a dialog may open it.
  void Release() { port_.Close(); }
  // Why the last open failed, for a port that is not there.
  const comm::SerialPort& Port() const { return port_; }

 private:
  comm::CommandPort port_;
  std::int32_t portIndex_;
  int baud_;
};

}  // namespace cli
