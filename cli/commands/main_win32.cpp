#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands/run_companion.h"
#include "cli/console/terminal.h"
#include "ui/win32/timer_resolution.h"
#include "ui/win32/win32_text.h"

int wmain(int argc, wchar_t** argv) {
  // The console host waits in 1 ms steps and counts 50 ms ticks, as the program does.
  const ui::TimerResolution resolution;
  cli::PrepareConsole();
  // The console as the program found it, however the run ends; what is still buffered goes
  // out first, in the code page it was written for.
  struct RestoredAtExit {
    ~RestoredAtExit() {
      std::fflush(stdout);
      std::fflush(stderr);
      cli::RestoreConsole();
    }
  } const restored;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(ui::Narrow(argv[i]));
  }
  return cli::RunCompanion(args);
}
