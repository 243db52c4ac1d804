#include "sim/line_ends.h"

namespace sim {

namespace {

// The speed setting of a baud rate (an unpaced line stands for the receiver's 115200).
speed_t LineSpeed(unsigned baud) {
  termios scratch{};
  return ::cfsetspeed(&scratch, baud == 0 ? 115200 : baud) == 0 ? ::cfgetospeed(&scratch) : B0;
}

// Two UARTs that frame bytes differently read each other's bytes as other bytes.
void Misread(std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<std::uint8_t>(~bytes[i]);
  }
}

}  // namespace

LineEnds::LineEnds(unsigned baud) : lineSpeed_(LineSpeed(baud)) {}

void LineEnds::Cross(const Pty& line, std::uint8_t* bytes, std::size_t count) const {
  if (!Agree(line)) {
    Misread(bytes, count);
  }
}

bool LineEnds::ProgramWaitsForCts(const Pty& line) {
  termios end{};
  return line.ProgramEnd(end) && (end.c_cflag & CRTSCTS) != 0;
}

bool LineEnds::Agree(const Pty& line) const {
  termios end{};
  if (!line.ProgramEnd(end)) {
    return true;
  }
  return (end.c_cflag & CSIZE) == CS8 && (end.c_cflag & (PARENB | CSTOPB)) == 0 &&
         ::cfgetospeed(&end) == lineSpeed_;
}

}  // namespace sim
