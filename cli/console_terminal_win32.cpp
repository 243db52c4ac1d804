#include <windows.h>

#include "cli/console_terminal.h"

namespace cli {

bool StderrIsTerminal() {
  // A console can redraw a line once it takes escape sequences; a pipe or file cannot.
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
    return false;
  }
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void PrepareConsole() {
  SetConsoleOutputCP(CP_UTF8);
}

std::tm LocalTime(std::time_t moment) {
  std::tm local{};
  localtime_s(&local, &moment);
  return local;
}

std::string ComDevice(int n) {
  return "\\\\.\\COM" + std::to_string(n);
}

bool NeedsComDevice(int n) {
  return n > 9;  // only COM1 to COM9 open by their bare names
}

}  // namespace cli
