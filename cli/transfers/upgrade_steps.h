// An upgrade of one receiver that proves each step: a backup that two reads agree on (none
// written when the receiver already holds the file's data), the program's own upgrade, the
// wait for the receiver's restart, and a read-back that proves the flash holds the file.
// One receiver's steps; several receivers (and the production loop) run one each.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/console/event_reporter.h"
#include "cli/console/exit_code.h"
#include "cli/transfers/flash_files.h"
#include "cli/transfers/flash_verifier.h"
#include "cli/transfers/held_flash.h"
#include "cli/transfers/proven_read.h"
#include "cli/transfers/way_back.h"
#include "ui/headless/console_host.h"

namespace cli {

struct UpgradeOptions {
  bool backup = true;
  bool once = false;   // the backup is one read
  bool verify = true;  // the receiver is read back after its restart
  bool force = false;  // written even when the receiver holds the file's data
  std::chrono::seconds restartWait{120};
  // The ROM file as the user named it: a receiver that held its data already (--force) has
  // it for its old software.
  std::string file;
  // The backup proven already (by the read that told this receiver from the last on the
  // port); null: it is read.
  const ProvenFlash* provenBackup = nullptr;
};

struct UpgradeResult {
  int exitCode = 0;
  std::string result;  // for a summary: "ok", "up to date", or what went wrong
  int receiverVariant = -1;
  bool upToDate = false;
  bool writeStarted = false;   // a block went out, so the receiver may hold wrong software
  bool written = false;        // every block was taken
  bool otherReceiver = false;  // after the restart a receiver of another kind answered
  double restartSeconds = -1;  // how long it took to answer after its restart; -1: not seen
  std::string backup;          // the file that holds the old software, written or kept before
  std::string backupSha256;    // of the old software's data
  std::string restore;         // the command that writes the backup back, where one is due
  std::string backupProof;
  std::string verifyProof;
  std::vector<std::uint32_t> backupRepaired;  // blocks a third read of the backup decided
  std::vector<std::uint32_t> verifyNoise;     // blocks read wrong once, right another time
  std::vector<std::uint32_t> differing;       // blocks the flash holds otherwise than the file
  HeldFlash held;                             // what the receiver holds as far as the run knows
};

class UpgradeSteps {
 public:
  // port: as the user named it, for the command that restores a backup; label: the port as
  // part of a file name.
  UpgradeSteps(ui::ConsoleHost& host, EventReporter& reporter, std::int32_t portIndex, int baud,
               std::string port, std::string label);

  // data: the blocks of a checked ROM file of the variant; writeBackup(kind, flash) writes
  // the backup of a receiver of that kind.
  using BackupWriter = std::function<WrittenFile(int kind, const std::vector<std::uint8_t>& flash)>;
  UpgradeResult Run(const std::vector<std::uint8_t>& data, int variant,
                    const UpgradeOptions& options, const BackupWriter& writeBackup);
  // Images a read may equal, and where a new backup is made known: the run's, shared by its
  // ports; null: none.
  void Know(KnownImages* known) { known_ = known; }

  // The steps on their own. The backup: a proven read, one read alone when it equals data.
  ProvenFlash ReadBackup(const std::vector<std::uint8_t>& data, int variant, bool once);
  // The program's upgrade dialog, on a ROM file.
  comm::Outcome Write(const std::string& romPath);
  // After the upgrade: the wait for the restart (bounded by wait, counted from now), then
  // the read-back; restartSeconds: how long the receiver took to answer again, -1 if never.
  // backup: the flash as it was before the upgrade, null when none was read.
  FlashVerdict AwaitRestartAndVerify(const std::vector<std::uint8_t>& data, int variant,
                                     std::chrono::seconds wait, double& restartSeconds,
                                     const std::vector<std::uint8_t>* backup = nullptr);

 private:
  // The receiver's software before the upgrade: its flash as the backup read it (empty: not
  // read), and the file that holds it (empty: none).
  struct OldSoftware {
    int variant = -1;
    std::vector<std::uint8_t> flash;
    std::string file;
  };

  // The proven backup, kept in a file unless the receiver already holds data; false when the
  // run ends there (result says how).
  bool TakeBackup(const std::vector<std::uint8_t>& data, int variant, const UpgradeOptions& options,
                  UpgradeResult& result, OldSoftware& old);
  // old's flash in a file: known (the file of a known image a read equalled), or another
  // known image that holds it, or a new backup; false after the message when none could be
  // written.
  bool KeepOldSoftware(int variant, const std::string& known, UpgradeResult& result,
                       OldSoftware& old);
  // How the write, or its read-back, ended.
  struct Ending {
    // details: what the ending's words leave open; aside: what its message adds to them.
    Ending(UpgradeEnding ending, std::string words = {}, int code = kExitOk, std::string extra = {})
        : how(ending), details(std::move(words)), exitCode(code), aside(std::move(extra)) {}
    UpgradeEnding how;
    std::string details;
    int exitCode;
    std::string aside;
  };
  // What the read-back found, after the program's message where it failed.
  Ending ReadBackEnding(const FlashVerdict& verdict, const OldSoftware& old);
  // How the upgrade ended once blocksSent blocks went out, and the way back where one is due,
  // told the user.
  UpgradeResult& Conclude(UpgradeResult& result, std::uint32_t blocksSent, const Ending& ending,
                          OldSoftware& old);
  UpgradeResult& Fail(UpgradeResult& result, int exitCode, const std::string& text);

  EventReporter& reporter_;
  std::int32_t portIndex_;
  int baud_;
  std::string port_;
  std::string label_;
  FlashReader reader_;
  KnownImages* known_ = nullptr;
  const BackupWriter* writeBackup_ = nullptr;  // during Run
};

}  // namespace cli
