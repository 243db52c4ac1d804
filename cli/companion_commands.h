// The commands of vesker-link on one port. Each runs the program's own dialog for its
// exchange on a console host of its own, so every frame, time-out and message is the one
// Vesker Link uses; several ports run one CompanionCommands each, side by side. What a
// read or an upgrade moves is proven (ProvenRead, UpgradeSteps).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/command_line.h"
#include "cli/console_terminal.h"
#include "cli/event_reporter.h"
#include "cli/failure_report.h"
#include "cli/log_file.h"
#include "cli/port_selection.h"
#include "link/outcome.h"
#include "ui/headless/console_host.h"

namespace cli {

// The name of a file of a receiver's flash: its variant's tag, the port (when given) and when
// it was taken: "RomFtaAMD1-ttyUSB0-20261207-142423.bin".
std::string FlashFileName(int variant, const std::string& port, const std::string& timeStamp);
// The name of a backup of a receiver's flash: "backup-" and its flash file's name, the port
// given when several are backed up at once.
std::string BackupFileName(int variant, const std::string& port, const std::string& timeStamp);

// What one port's run came to.
struct PortSummary {
  std::string port;  // as every line names it
  int exitCode = kExitOk;
  std::string kind;    // the receiver's version name, once known
  std::string result;  // "ok", "up to date", or what went wrong
  double seconds = 0;
  std::string sha256;  // of the data read or written
  std::string backup;  // the backup an upgrade read first
  std::string file;    // the file a read wrote
  std::string proof;   // how the data were proven, in a few words
  bool answered = false;
  bool upToDate = false;       // the receiver already held the upgrade's software
  bool written = false;        // an upgrade's every block was taken
  double restartSeconds = -1;  // how long it took to answer after its restart; -1: not seen
};

class CompanionCommands {
 public:
  // port: the one port this run serves (empty: the one kept in Pelto.cfg); file: the file
  // of a read, upgrade or verify (each port of a read has its own); several: one of a run
  // over several ports, so that the backups of one folder carry their port.
  CompanionCommands(const CommandLine& line, EventReporter& reporter, std::string port = {},
                    std::string file = {}, bool several = false);
  CompanionCommands(const CompanionCommands&) = delete;
  CompanionCommands& operator=(const CompanionCommands&) = delete;

  // The run is logged there too; null: not.
  void SetLog(const LogFile* log) { log_ = log; }
  // An upgrade writes this ROM file, checked before (of the variant), instead of loading it
  // again: the production loop loads it once for every receiver. It must outlive the run.
  void UseCheckedFile(const std::vector<std::uint8_t>& file, int variant) {
    checkedFile_ = &file;
    checkedVariant_ = variant;
  }
  // A read goes into the folder given as its file, under a name of the receiver's own (its
  // kind, the port and the time) that no file has: nothing is ever written over.
  void ReadIntoFolder() { intoFolder_ = true; }

  int Run();
  const PortSummary& Summary() const { return summary_; }

 private:
  int Connect();
  int Probe();
  int Info();
  int Read();
  int Upgrade();
  int Verify();
  int Keys();

  // The file checked as the upgrade checks it; false after its message.
  bool LoadRomFile(std::vector<std::uint8_t>& image, int& variant);
  // The exit code of a dialog that ended without success, after what the user must know.
  int Failure(const comm::Outcome& outcome);
  int Finish(int exitCode, const JsonObject& fields = JsonObject());
  // The run's record, as the bench's log and page have it: one JSON line.
  std::string RecordLine(const PortIdentity& adapter);
  // The record appended to the bench's log; false when it could not be written.
  bool WriteLog(const std::string& line);
  void NoteReceiver(int variant);

  const CommandLine& line_;
  EventReporter& reporter_;
  ui::ConsoleHost host_;
  std::string portName_;
  std::string file_;
  bool several_;
  std::int32_t portIndex_ = 0;
  std::optional<PortSelection> selection_;  // made by the run (info opens no port)
  const std::vector<std::uint8_t>* checkedFile_ = nullptr;
  int checkedVariant_ = -1;
  bool intoFolder_ = false;
  PortSummary summary_;
  const LogFile* log_ = nullptr;
  // How each stage's data were proven, for the log: ("read", "2 reads agree").
  std::vector<std::pair<std::string, std::string>> proofs_;
  // The blocks that noise garbled and a further read repaired, by stage.
  std::vector<std::pair<std::string, std::vector<std::uint32_t>>> repaired_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace cli
