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

// The line speed every exchange opens its port at: the receiver's 115200 baud unless a
// caller has chosen another (an adapter that needs it).
int ReceiverBaud();
void SetReceiverBaud(int baud);

// Opens COM(portIndex + 1) at the receiver's 115200 baud in binary mode, as every exchange
// starts; false with the message the dialogs show ("open port%d error!").
bool OpenReceiverPort(CommandPort& port, std::int32_t portIndex, std::string& failure);

}  // namespace comm
