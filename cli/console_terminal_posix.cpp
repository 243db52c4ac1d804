#include <unistd.h>

#include "cli/console_terminal.h"

namespace cli {

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

}  // namespace cli
