// The terminal vesker-link writes to, as the system it runs on has it.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace cli {

// True when progress goes to a terminal that can redraw a line.
bool StderrIsTerminal();

// UTF-8 output, so that "！" and the key captions show as they are.
void PrepareConsole();
// The console as it was before PrepareConsole and StderrIsTerminal: at exit, and from a
// Ctrl-C that ends the program at once.
void RestoreConsole();

// A moment in local time.
std::tm LocalTime(std::time_t moment);

// An argument as this system's shell takes it back unchanged.
std::string ShellQuote(const std::string& argument);

}  // namespace cli
