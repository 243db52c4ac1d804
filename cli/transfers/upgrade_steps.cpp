#include "cli/transfers/upgrade_steps.h"

#include <thread>

#include "cli/console/exit_code.h"
#include "cli/console/terminal.h"
#include "cli/ports/failure_report.h"
#include "cli/transfers/restart_wait.h"
#include "cli/transfers/scratch_file.h"
#include "link/command_port.h"
#include "romimage/receiver_variant_table.h"
#include "romimage/rom_image_file.h"
#include "transfer/upgrade_dialog.h"

namespace cli {

UpgradeSteps::UpgradeSteps(ui::ConsoleHost& host, EventReporter& reporter, std::int32_t portIndex,
                           int baud, std::string port, std::string label)
    : reporter_(reporter),
      portIndex_(portIndex),
      baud_(baud),
      port_(std::move(port)),
      label_(std::move(label)),
      reader_(host, reporter, portIndex, baud, label_) {}

ProvenFlash UpgradeSteps::ReadBackup(const std::vector<std::uint8_t>& data, int variant,
                                     bool once) {
  ProvenRead read(reader_, reporter_, once);
  return read.Run(&data, variant);
}

comm::Outcome UpgradeSteps::Write(const std::string& romPath) {
  transfer::UpgradeDialog dialog(romPath, portIndex_, baud_);
  dialog.SetProgressListener(&reporter_);
  dialog.DoModal();
  return dialog.Outcome();
}

FlashVerdict UpgradeSteps::AwaitRestartAndVerify(const std::vector<std::uint8_t>& data, int variant,
                                                 std::chrono::seconds wait, double& restartSeconds,
                                                 const std::vector<std::uint8_t>* backup) {
  // A receiver may answer at once and restart a moment later, or stay silent while it saves:
  // either way it is asked until it answers, and asked again should it fall silent in the
  // read-back, all within the one bound.
  reporter_.Stage("restart");
  RestartWait restart(reporter_, portIndex_, baud_, RestartWait::Clock::now() + wait);
  if (!restart.Run()) {
    restartSeconds = -1;
    FlashVerdict verdict;
    verdict.result = ui::ConsoleHost::CancelRequested() ? FlashVerdict::Result::kReadFailed
                                                        : FlashVerdict::Result::kNoAnswer;
    return verdict;
  }
  reporter_.Stage("verify");
  FlashVerifier verifier(reader_, reporter_, &restart);
  FlashVerdict verdict = verifier.Run(data, variant, false, backup);
  restartSeconds = restart.AnsweredAfter();
  return verdict;
}

void UpgradeSteps::OfferRestore(UpgradeResult& result, bool proven) {
  if (result.backup.empty()) {
    reporter_.Message("no backup of the old software was read");
    return;
  }
  std::string command = "vesker-link -p " + ShellQuote(port_);
  if (baud_ != comm::kReceiverBaud) {
    command += " -b " + std::to_string(baud_);
  }
  // Whoever is on the port when the command runs gets a backup of its own first, unless it
  // is proven to be the receiver the backup came from: a box swapped meanwhile keeps its
  // software recoverable, and one that already holds the backup's is left alone.
  if (proven) {
    command += " --no-backup";
  }
  result.restore = command + " upgrade " + ShellQuote(result.backup);
  reporter_.Message("the old software is in " + result.backup +
                    "; to put it back: " + result.restore);
}

UpgradeResult& UpgradeSteps::Fail(UpgradeResult& result, int exitCode, const std::string& text) {
  result.exitCode = exitCode;
  result.result = text;
  return result;
}

UpgradeResult UpgradeSteps::Run(const std::vector<std::uint8_t>& data, int variant,
                                const UpgradeOptions& options, const BackupWriter& writeBackup) {
  UpgradeResult result;
  const romimage::ReceiverVariant& row = romimage::ReceiverVariantTable[variant];
  std::vector<std::uint8_t> before;  // the flash the backup holds
  if (options.backup) {
    reporter_.Stage("backup");
    ProvenFlash backup = ReadBackup(data, variant, options.once);
    result.receiverVariant = backup.variant;
    if (!backup.outcome.Done()) {
      FailureReport failure{kExitReceiver, backup.outcome.message};
      if (!backup.undecided.empty() || backup.kindUndecided) {
        reporter_.Message(backup.outcome.message);
        failure.result = "backup not proven: " + backup.outcome.message;
      } else {
        failure = ReportFailure(reporter_, backup.outcome, port_, portIndex_);
        result.receiverVariant = backup.outcome.receiverVariant;
      }
      reporter_.Message("no backup of the receiver, so no upgrade");
      return Fail(result, failure.exitCode, failure.result);
    }
    result.backupProof = backup.proof;
    result.backupRepaired = backup.repaired;
    const bool holdsFile = backup.variant == variant && backup.data == data;
    if (holdsFile && !options.force) {
      // Nothing to write, and nothing to keep: the file is the backup.
      result.upToDate = true;
      result.result = "up to date";
      reporter_.Say("the receiver already holds this software (" + std::string(row.versionName) +
                    "): nothing written");
      return result;
    }
    if (!holdsFile) {
      const WrittenFile written = writeBackup(backup.variant, backup.data);
      if (written.result != romimage::WriteResult::kWritten) {
        reporter_.Message(romimage::WriteFailureMessage(written.result, backup.variant) + " (" +
                          written.path + ")");
        reporter_.Message("no backup of the receiver, so no upgrade");
        return Fail(result, kExitFileWrite, "backup not written");
      }
      result.backup = written.path;
      reporter_.Message("backup: " + written.path);
    }
    if (backup.variant != variant) {
      reporter_.Message(transfer::VersionMismatchText(variant, backup.variant));
      return Fail(result, kExitReceiver, "receiver of another kind");
    }
    before = std::move(backup.data);
    std::this_thread::sleep_for(kSettleBetweenPasses);
  }

  reporter_.Stage("upgrade");
  // The program's upgrade loads its file itself: it gets a copy of the data checked here, so
  // that neither a change to the file meanwhile nor another port loading it (Windows lets
  // one reader at a time have it) comes between.
  const ScratchFile image(label_);
  const romimage::WriteResult copied = romimage::WriteImageFile(image.Path(), variant, data.data());
  if (copied != romimage::WriteResult::kWritten) {
    reporter_.Message(romimage::WriteFailureMessage(copied, variant) + " (" + image.Path() + ")");
    return Fail(result, kExitFileWrite, "image not copied");
  }
  const comm::Outcome upgrade = Write(image.Path());
  // The progress is first shown as block 0 goes out.
  result.writeStarted = upgrade.blockCount > 0;
  if (!upgrade.Done()) {
    if (upgrade.receiverVariant >= 0) {
      result.receiverVariant = upgrade.receiverVariant;
    }
    const FailureReport failure = ReportFailure(reporter_, upgrade, port_, portIndex_);
    if (result.writeStarted) {
      OfferRestore(result, false);
    }
    return Fail(result, failure.exitCode, failure.result);
  }
  result.written = true;
  result.receiverVariant = variant;
  const std::string upgraded =
      "upgraded " + std::to_string(row.blockCount) + " blocks of " + row.versionName;
  if (!options.verify) {
    result.result = "ok";
    result.verifyProof = "not verified";
    reporter_.Say(upgraded + "; the receiver restarts (not verified)");
    return result;
  }

  const FlashVerdict verdict =
      AwaitRestartAndVerify(data, variant, options.restartWait, result.restartSeconds,
                            before.empty() ? nullptr : &before);
  result.verifyProof = verdict.proof;
  result.verifyNoise = verdict.noise;
  switch (verdict.result) {
    case FlashVerdict::Result::kVerified:
      result.result = "ok";
      reporter_.Say(upgraded + "; verified (" + verdict.proof + ")");
      return result;
    case FlashVerdict::Result::kNoAnswer: {
      const std::string text = "upgraded, not verified: no answer after the restart";
      reporter_.Message(text);
      OfferRestore(result, false);
      return Fail(result, kExitReceiver, text);
    }
    case FlashVerdict::Result::kReadFailed: {
      const FailureReport failure = ReportFailure(reporter_, verdict.outcome, port_, portIndex_);
      const bool interrupted = failure.result == "interrupted";
      if (!interrupted) {
        reporter_.Message("upgraded, not verified");
      }
      OfferRestore(result, false);
      return Fail(result, failure.exitCode,
                  interrupted ? failure.result : "upgraded, not verified: " + failure.result);
    }
    case FlashVerdict::Result::kOtherReceiver: {
      // The receiver written to was taken off and another put on: nothing of the backup
      // belongs on this one, and the one written to is no longer here to be read.
      result.otherReceiver = true;
      const std::string text = "upgraded, not verified: another receiver answers";
      reporter_.Message(
          text +
          (verdict.kindDiffers
               ? std::string(" (it reports itself as ") +
                     romimage::ReceiverVariantTable[verdict.reportedVariant].versionName + ")"
               : std::string(" (its flash holds neither this file nor the backup)")));
      if (!result.backup.empty()) {
        reporter_.Message("the old software of the receiver written to is in " + result.backup);
      }
      return Fail(result, kExitReceiver, text);
    }
    case FlashVerdict::Result::kDiffers: {
      result.differing = verdict.differing;
      if (verdict.asBefore) {
        const std::string text = "verify failed: the receiver still holds its old software";
        reporter_.Message(text + " (as in " + result.backup + ")");
        return Fail(result, kExitReceiver, text);
      }
      const std::string text =
          "verify failed: " + NameBlocks(verdict.differing) + " of the receiver's flash " +
          (verdict.differing.size() == 1 ? "differs" : "differ") + " from the file";
      reporter_.Message(text);
      OfferRestore(result, verdict.showsWrite);
      return Fail(result, kExitReceiver, text);
    }
    case FlashVerdict::Result::kUndecided: {
      const std::string text = "upgraded, not verified: " + verdict.proof;
      reporter_.Message(text);
      OfferRestore(result, verdict.showsWrite);
      return Fail(result, kExitReceiver, text);
    }
  }
  return result;
}

}  // namespace cli
