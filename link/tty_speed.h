// The speeds a tty is set to, by their number of bits a second.
#pragma once

#include <termios.h>

namespace comm {

// The speed setting for baud: any rate the system's serial drivers take; B0 for any other.
speed_t TtySpeed(int baud);

}  // namespace comm
