// What network lines need of the network library as a whole: its one context for the whole
// process (lines rest on state the library keeps process-wide), its time values and what its
// errors mean to a user.
#pragma once

#include <chrono>

#include "link/port_failure.h"

struct gensio_time;

namespace comm {

// Whether the library is ready for lines to be opened; made ready on the first call, by any
// thread, and kept for the life of the process.
bool NetworkLibraryReady();

// A wait as the library takes it.
gensio_time LibraryTime(std::chrono::milliseconds wait);

// What one of the library's errors on opening means to a user.
PortFailure FailureOfLibraryError(int error);

}  // namespace comm
