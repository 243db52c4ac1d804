#include <unistd.h>

#include <ctime>

#include "cli/console_terminal.h"
#include "link/serial_port.h"

namespace cli {

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

void PrepareConsole() {}  // a POSIX terminal takes UTF-8 as it comes

std::string LocalTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof(text), "%Y%m%d-%H%M%S", &local);
  return text;
}

std::string ComDevice(int n) {
  return comm::SerialPort::DevicePath(n);
}

bool NeedsComDevice(int /*n*/) {
  return false;
}

}  // namespace cli
