#include "link/tty_speed.h"

namespace comm {

speed_t TtySpeed(int baud) {
  // Every rate the system names; the ones beyond the oldest few differ between systems.
  static constexpr struct {
    int baud;
    speed_t speed;
  } kRates[] = {
      {50, B50},           {75, B75},     {110, B110},   {134, B134},     {150, B150},
      {200, B200},         {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
      {2400, B2400},       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
      {57600, B57600},
#endif
#ifdef B115200
      {115200, B115200},
#endif
#ifdef B230400
      {230400, B230400},
#endif
#ifdef B460800
      {460800, B460800},
#endif
#ifdef B500000
      {500000, B500000},
#endif
#ifdef B576000
      {576000, B576000},
#endif
#ifdef B921600
      {921600, B921600},
#endif
#ifdef B1000000
      {1000000, B1000000},
#endif
#ifdef B1152000
      {1152000, B1152000},
#endif
#ifdef B1500000
      {1500000, B1500000},
#endif
#ifdef B2000000
      {2000000, B2000000},
#endif
#ifdef B2500000
      {2500000, B2500000},
#endif
#ifdef B3000000
      {3000000, B3000000},
#endif
#ifdef B3500000
      {3500000, B3500000},
#endif
#ifdef B4000000
      {4000000, B4000000},
#endif
  };
  for (const auto& rate : kRates) {
    if (rate.baud == baud) {
      return rate.speed;
    }
  }
  return B0;
}

}  // namespace comm
