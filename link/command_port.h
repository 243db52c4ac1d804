// A serial port that speaks in command frames and waits for the receiver's acknowledgement.
#pragma once

#include <cstdint>

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

}  // namespace comm
