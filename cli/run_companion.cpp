#include "cli/run_companion.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/companion_commands.h"
#include "cli/console_terminal.h"
#include "cli/event_reporter.h"
#include "cli/key_names.h"
#include "vl_version.h"

namespace {

extern "C" void OnInterrupt(int /*signal*/) {
  // The first Ctrl-C closes the running dialog as its Cancel button would; a second one
  // ends the program at once.
  std::signal(SIGINT, SIG_DFL);
  ui::ConsoleHost::RequestCancel();
}

}  // namespace

namespace cli {

int RunCompanion(const std::vector<std::string>& args) {
  // Not in the help: the shell completion asks for the plain key names, one a line.
  if (args.size() == 1 && args[0] == "--list-keys") {
    for (const KeyName& key : kKeyNames) {
      std::printf("%s\n", key.name);
    }
    return kExitOk;
  }
  CommandLine line;
  std::string error;
  if (!ParseCommandLine(args, line, error)) {
    std::fprintf(stderr, "%s\nvesker-link: %s (see vesker-link --help)\n", kUsageLine,
                 error.c_str());
    return kExitUsage;
  }
  if (line.help) {
    std::printf("%s\n\n%s", kUsageLine, kHelpText);
    return kExitOk;
  }
  if (line.version) {
    std::printf("vesker-link %s\n", VL_VERSION);
    return kExitOk;
  }
  const auto style = line.json            ? EventReporter::Style::kJson
                     : StderrIsTerminal() ? EventReporter::Style::kTerminal
                                          : EventReporter::Style::kPlain;
  EventReporter reporter(style, line.quiet);
  std::signal(SIGINT, OnInterrupt);
  CompanionCommands commands(line, reporter);
  return commands.Run();
}

}  // namespace cli
