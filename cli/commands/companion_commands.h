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

#include "cli/commands/command_line.h"
#include "cli/console/event_reporter.h"
#include "cli/console/port_summary.h"
#include "cli/log/log_file.h"
#include "cli/ports/failure_report.h"
#include "cli/ports/port_selection.h"
#include "cli/ports/system_ports.h"
#include "cli/transfers/held_flash.h"
#include "cli/transfers/known_images.h"
#include "cli/transfers/proven_read.h"
#include "link/outcome.h"
#include "ui/headless/console_host.h"

namespace cli {

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
  // Images a read may equal (proven by that one pass), and where what this run proves is
  // made known; the run's, shared by its ports. Null: none.
  void Know(KnownImages* known) { known_ = known; }
  // The receiver's flash, proven already (by the read that told it from the last one on the
  // port): a read takes it, an upgrade takes it for its backup. It must outlive the run.
  void UseProvenFlash(const ProvenFlash* flash) { provenFlash_ = flash; }

  int Run();
  const PortSummary& Summary() const { return summary_; }
  // What the receiver holds as far as the run knows.
  const HeldFlash& Held() const { return held_; }

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
  int Finish(int exitCode);
  int Finish(int exitCode, const Json& fields);
  // The run's record, as the bench's log and page have it.
  Json Record(const PortIdentity& adapter);
  // The record appended to the bench's log; false when it could not be written.
  bool WriteLog(const Json& record);
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
  KnownImages* known_ = nullptr;
  const ProvenFlash* provenFlash_ = nullptr;
  HeldFlash held_;
  // How each stage's data were proven, for the log: ("read", "2 reads agree").
  std::vector<std::pair<std::string, std::string>> proofs_;
  // The blocks that noise garbled and a further read repaired, by stage.
  std::vector<std::pair<std::string, std::vector<std::uint32_t>>> repaired_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace cli
