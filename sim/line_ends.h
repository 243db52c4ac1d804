// Whether the two ends of the line frame bytes alike, and what each reads when they do not.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>

#include "sim/pty.h"

namespace sim {

// The receiver's UART frames bytes 8N1 at the line's speed; the program's end frames them as
// the program last set its port.
class LineEnds {
 public:
  // baud 0: an unpaced line, which stands for the receiver's 115200.
  explicit LineEnds(unsigned baud);

  // Bytes crossing the line, either way, as the far end reads them: unchanged while both ends
  // frame bytes alike, other bytes while they do not, as two mismatched UARTs read each other.
  void Cross(const Pty& line, std::uint8_t* bytes, std::size_t count) const;
  // A three-wire cable never raises CTS: a program that waits for it never sends.
  static bool ProgramWaitsForCts(const Pty& line);

 private:
  // Whether both ends frame bytes alike (8N1 at the line's speed); with no line, they do.
  bool Agree(const Pty& line) const;

  speed_t lineSpeed_;
};

}  // namespace sim
