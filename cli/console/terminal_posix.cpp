#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <string_view>

#include "cli/console/terminal.h"

namespace cli {

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

void PrepareConsole() {}  // a POSIX terminal takes UTF-8 as it comes

void RestoreConsole() {}

std::tm LocalTime(std::time_t moment) {
  std::tm local{};
  localtime_r(&moment, &local);
  return local;
}

std::string ShellQuote(const std::string& argument) {
  const bool plain = !argument.empty() && std::all_of(argument.begin(), argument.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
  });
  if (plain) {
    return argument;
  }
  std::string quoted = "'";
  for (const char c : argument) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

}  // namespace cli
