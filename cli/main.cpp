// vesker-link: the command-line companion of Vesker Link, for benches and scripts.
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

int RunCompanion(const std::vector<std::string>& args) {
  // Not in the help: the shell completion asks for the plain key names, one a line.
  if (args.size() == 1 && args[0] == "--list-keys") {
    for (const cli::KeyName& key : cli::kKeyNames) {
      std::printf("%s\n", key.name);
    }
    return cli::kExitOk;
  }
  cli::CommandLine line;
  std::string error;
  if (!cli::ParseCommandLine(args, line, error)) {
    std::fprintf(stderr, "%s\nvesker-link: %s (see vesker-link --help)\n", cli::kUsageLine,
                 error.c_str());
    return cli::kExitUsage;
  }
  if (line.help) {
    std::printf("%s\n\n%s", cli::kUsageLine, cli::kHelpText);
    return cli::kExitOk;
  }
  if (line.version) {
    std::printf("vesker-link %s\n", VL_VERSION);
    return cli::kExitOk;
  }
  const auto style = line.json                 ? cli::EventReporter::Style::kJson
                     : cli::StderrIsTerminal() ? cli::EventReporter::Style::kTerminal
                                               : cli::EventReporter::Style::kPlain;
  cli::EventReporter reporter(style, line.quiet);
  std::signal(SIGINT, OnInterrupt);
  cli::CompanionCommands commands(line, reporter);
  return commands.Run();
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  cli::PrepareConsole();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(cli::Utf8FromWide(argv[i]));
  }
  return RunCompanion(args);
}
#else
int main(int argc, char** argv) {
  return RunCompanion(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
