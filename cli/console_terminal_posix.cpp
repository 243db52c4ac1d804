#include <unistd.h>

#include "cli/console_terminal.h"
#include "link/serial_port.h"

namespace cli {

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

void PrepareConsole() {}  // a POSIX terminal takes UTF-8 as it comes

std::tm LocalTime(std::time_t moment) {
  std::tm local{};
  localtime_r(&moment, &local);
  return local;
}

std::string ComDevice(int n) {
  return comm::SerialPort::DevicePath(n);
}

bool NeedsComDevice(int /*n*/) {
  return false;
}

}  // namespace cli
