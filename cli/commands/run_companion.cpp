#include "cli/commands/run_companion.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "cli/bridge/line_bridge.h"
#include "cli/commands/command_line.h"
#include "cli/commands/companion_commands.h"
#include "cli/commands/port_fleet.h"
#include "cli/console/event_reporter.h"
#include "cli/console/key_names.h"
#include "cli/console/run_endings.h"
#include "cli/console/terminal.h"
#include "cli/console/visible_text.h"
#include "cli/log/log_file.h"
#include "cli/transfers/flash_files.h"
#include "cli/transfers/known_images.h"
#include "romimage/file_system.h"
#include "vl_version.h"

namespace cli {

namespace {

bool RomFileName(const std::string& name) {
  return name.size() > 4 && (name.compare(name.size() - 4, 4, ".bin") == 0 ||
                             name.compare(name.size() - 4, 4, ".BIN") == 0);
}

bool BackupName(const std::string& name) {
  return name.rfind("backup-", 0) == 0 && RomFileName(name);
}

// The images a read of this run may equal: those of --known, and those the command keeps in
// a folder of its own from one run to the next (an upgrade's backups beside its file, a
// bench's reads), so that a bench started again knows what it has proven before. Each file
// that is no ROM image is said once.
void KnowImages(const CommandLine& line, KnownImages& known, ConsoleOutput& output) {
  const bool watch = line.command == "watch";
  const std::string& action = watch ? line.arguments.front() : line.command;
  if (action != "read" && action != "upgrade") {
    return;
  }
  std::vector<std::string> skipped;
  for (const std::string& folder : line.knownFolders) {
    known.AddFolder(folder, RomFileName, skipped);
  }
  // A folder of the command's own that is not there yet holds nothing to know.
  std::error_code ignored;
  const std::string own = action == "upgrade" ? InFolderOf(line.arguments.back(), ".")
                          : watch             ? line.arguments.back()
                                              : std::string();
  if (!own.empty() && std::filesystem::is_directory(romimage::Utf8Path(own), ignored)) {
    known.AddFolder(own, action == "upgrade" ? BackupName : RomFileName, skipped);
  }
  for (const std::string& why : skipped) {
    output.Err("vesker-link: not a known image, skipped: " + why);
  }
}

}  // namespace

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
  if (line.command == "bridge") {
    return RunBridge(line.ports.front(), line.arguments.front(), line.baud);
  }
  const bool terminal = !line.json && StderrIsTerminal();
  const auto style = line.json  ? EventReporter::Style::kJson
                     : terminal ? EventReporter::Style::kTerminal
                                : EventReporter::Style::kPlain;
  ConsoleOutput output(terminal);
  const LogFile log(line.logPath);
  const bool logged = !line.logPath.empty() && line.command != "info" && !line.listOnly;
  if (std::string reason; logged && !log.Check(reason)) {
    // Before the line is touched: a bench that keeps no record should not start.
    std::fprintf(stderr, "vesker-link: cannot write the log %s: %s\n",
                 VisibleText(line.logPath).c_str(), VisibleText(reason).c_str());
    return kExitFileWrite;
  }
  const RunEndings endings;
  KnownImages known;
  KnowImages(line, known, output);
  PortFleet fleet(line, output, style, logged ? &log : nullptr, &known);
  if (line.command == "probe") {
    return fleet.Probe();
  }
  if (line.command == "watch") {
    return fleet.Watch(line.ports);
  }
  if (line.ports.size() > 1 && line.command != "info") {
    return fleet.Run(line.ports);
  }
  const std::string port = line.ports.empty() ? std::string() : line.ports.front();
  EventReporter reporter(output, style, line.quiet, PortLabel(port));
  const std::string file =
      line.command == "key" || line.arguments.empty() ? std::string() : line.arguments.front();
  CompanionCommands commands(line, reporter, line.command == "info" ? std::string() : port, file);
  commands.SetLog(logged ? &log : nullptr);
  commands.Know(&known);
  return commands.Run();
}

}  // namespace cli
