#include <windows.h>

#include <atomic>
#include <ctime>
#include <string>

#include "cli/console/terminal.h"

namespace cli {

namespace {

// What the console looked like before this program changed it. Both belong to the console
// window, not to this program, and a bench's batch file goes on in it after us. A Ctrl-C may
// restore them at any moment, from a thread of its own: each is saved whole before it is
// published as saved, and before the console is changed.
std::atomic<UINT> savedOutputCodePage{0};
std::atomic<DWORD> savedErrorMode{0};
std::atomic<bool> errorModeSaved{false};
std::atomic<bool> errorModeTaken{false};  // saving has begun: only once

}  // namespace

bool StderrIsTerminal() {
  // A console can redraw a line once it takes escape sequences; a pipe or file cannot.
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
    return false;
  }
  if (!errorModeTaken.exchange(true)) {
    savedErrorMode = mode;
    errorModeSaved = true;
  }
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void RestoreConsole() {
  if (const UINT codePage = savedOutputCodePage.exchange(0); codePage != 0) {
    SetConsoleOutputCP(codePage);
  }
  if (errorModeSaved.exchange(false)) {
    SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), savedErrorMode);
    errorModeTaken = false;
  }
}

namespace {

// Handlers run the last one registered first. The run's own (RunEndings), registered later,
// takes the first Ctrl-C (it cancels the running exchange, and the program ends by
// returning); the Ctrl-C it lets pass ends the program at once, after this.
BOOL WINAPI RestoreBeforeTheEnd(DWORD /*event*/) {
  RestoreConsole();
  return FALSE;
}

}  // namespace

void PrepareConsole() {
  SetConsoleCtrlHandler(RestoreBeforeTheEnd, TRUE);
  const UINT codePage = GetConsoleOutputCP();  // 0 without a console: nothing to put back
  if (codePage != 0) {
    savedOutputCodePage = codePage;
    SetConsoleOutputCP(CP_UTF8);
  }
}

std::tm LocalTime(std::time_t moment) {
  std::tm local{};
  localtime_s(&local, &moment);
  return local;
}

std::string ShellQuote(const std::string& argument) {
  // As the C runtime splits a command line: quotes around anything with a blank or a quote,
  // a quote escaped, and the backslashes before a quote (or the closing one) doubled.
  if (!argument.empty() && argument.find_first_of(" \t\"&|<>^%") == std::string::npos) {
    return argument;
  }
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

}  // namespace cli
