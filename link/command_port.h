// A serial port that speaks in command frames and waits for the receiver's acknowledgement.
#pragma once

#include <cstdint>
#include <string>

#include "link/serial_port.h"

namespace comm {

class CommandPort : public SerialPort {
 public:
  // Writes one command frame; the code comes first, as every caller names it.
  int SendCommand(std::uint8_t code, std::uint8_t qualifier = 0, std::uint8_t extra1 = 0,
                  std::uint8_t extra2 = 0);
  // 1 when exactly the acknowledgement frame arrived within about 2 s; otherwise sends
  // CMD_STOP and returns 0. Blocks the calling thread while it waits.
  int WaitAck();
};

// The COM number of a port index: index + 1, wrapping like a 32-bit integer instead of
// overflowing for any value that a configuration file may hold.
inline std::int32_t ComNumber(std::int32_t portIndex) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(portIndex) + 1u);
}

// The receiver's line speed; a dialog's creator may choose another (an adapter that needs it).
constexpr int kReceiverBaud = 115200;

// The message for a port that cannot be opened: "open port%d error!" with its COM number.
std::string OpenPortFailure(std::int32_t com);

}  // namespace comm
