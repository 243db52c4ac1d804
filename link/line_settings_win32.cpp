#include "link/line_settings_win32.h"

#include <algorithm>

namespace comm {

// A port keeps the settings of its last user (under Wine: whatever the tty was left in, a
// new adapter's XON/XOFF included), and XON/XOFF alone eats the 0x11 and 0x13 bytes of flash
// data and lets a stray XOFF stop our output. So the whole line is set, not just its speed.
void SetWholeLine(DCB& dcb, int baud, DWORD inputQueue) {
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = static_cast<DWORD>(baud);
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.ByteSize = 8;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  // It only matters while fInX is on, yet it asks for a mode (SERIAL_XOFF_CONTINUE) that the
  // system's own UART drivers refuse: with it, every open on such a port would fail.
  dcb.fTXContinueOnXoff = FALSE;
  // Unused with flow control off, yet a driver checks them: SetCommState fails when the last
  // user left the two characters equal, or limits above the input queue it has (the queue we
  // ask SetupComm for is only a wish). The driver's own fit; else its usual ones for a queue
  // that size: flow stops with an eighth of it free, and goes on once half of it is empty.
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  if (inputQueue != 0 && (dcb.XonLim > inputQueue || dcb.XoffLim > inputQueue)) {
    dcb.XonLim = static_cast<WORD>(std::min<DWORD>(inputQueue / 2, 0xFFFF));
    dcb.XoffLim = static_cast<WORD>(std::min<DWORD>(inputQueue / 8, 0xFFFF));
  }
}

}  // namespace comm
