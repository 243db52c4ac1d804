// The commands of vesker-link. Each runs the program's own dialog for its exchange on the
// console host, so every frame, time-out and message is the one Vesker Link uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/event_reporter.h"
#include "link/outcome.h"
#include "ui/headless/console_host.h"

namespace cli {

// The exit code of a dialog's outcome.
int ExitCodeFor(const comm::Outcome& outcome);

// The name of a backup of a receiver's flash: its variant's tag and when it was taken.
std::string BackupFileName(int variant, const std::string& timeStamp);

class CompanionCommands {
 public:
  CompanionCommands(const CommandLine& line, EventReporter& reporter);
  int Run();

 private:
  struct Port {
    std::int32_t index = 0;
    std::string label;  // as the user named it
  };
  // Makes the port usable by the dialogs: a device path or a high COM number is mapped.
  bool SelectPort(const std::string& text, Port& port);
  void ReleasePort();

  int Connect();
  int Probe();
  int Info();
  int Read();
  int Upgrade();
  int Verify();
  int Keys();

  // The file checked as the upgrade checks it; false after its message.
  bool LoadRomFile(const std::string& path, std::vector<std::uint8_t>& image, int& variant);
  // The read procedure into path.
  comm::Outcome ReadInto(const std::string& path);
  // The exit code of a dialog that ended without success, after what the user must know.
  int Failure(const comm::Outcome& outcome);
  int Finish(int exitCode, const JsonObject& fields = JsonObject());

  const CommandLine& line_;
  EventReporter& reporter_;
  ui::ConsoleHost host_;
  Port port_;
  std::vector<int> mapped_;
};

}  // namespace cli
