// The whole line as the port sets it on every open, as a DCB for SetCommState.
#pragma once

#include <windows.h>

namespace comm {

// Sets the whole line in dcb (as GetCommState gave it) for baud: 8N1 binary, no flow control
// of either kind, no error or null handling, DTR and RTS on. inputQueue is the driver's input
// queue as GetCommProperties reports it (0: it does not say); the flow control limits stay
// the driver's own where they fit it.
void SetWholeLine(DCB& dcb, int baud, DWORD inputQueue);

}  // namespace comm
