#include "cli/upgrade_steps.h"

#include <thread>

#include "cli/command_line.h"
#include "cli/console_terminal.h"
#include "cli/failure_report.h"
#include "cli/restart_wait.h"
#include "cli/scratch_file.h"
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
                                                 std::chrono::seconds wait,
                                                 double& restartSeconds) {
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
  FlashVerdict verdict = verifier.Run(data, variant, false);
  restartSeconds = restart.AnsweredAfter();
  return verdict;
}

void UpgradeSteps::SayHowToRestore(const std::string& backup) {
  if (backup.empty()) {
    reporter_.Message("no backup of the old software was read");
    return;
  }
  reporter_.Message("the old software is in " + backup + "; to put it back: vesker-link -p " +
                    ShellQuote(port_) + " --no-backup upgrade " + ShellQuote(backup));
}

UpgradeResult& UpgradeSteps::Fail(UpgradeResult& result, int exitCode, const std::string& text) {
  result.exitCode = exitCode;
  result.result = text;
  return result;
}

UpgradeResult UpgradeSteps::Run(const std::vector<std::uint8_t>& data, int variant,
                                const UpgradeOptions& options,
                                const std::function<std::string(int kind)>& backupPath) {
  UpgradeResult result;
  const romimage::ReceiverVariant& row = romimage::ReceiverVariantTable[variant];
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
      const std::string path = backupPath(backup.variant);
      const romimage::WriteResult written =
          romimage::WriteImageFile(path, backup.variant, backup.data.data());
      if (written != romimage::WriteResult::kWritten) {
        reporter_.Message(romimage::WriteFailureMessage(written, backup.variant) + " (" + path +
                          ")");
        reporter_.Message("no backup of the receiver, so no upgrade");
        return Fail(result, kExitFileWrite, "backup not written");
      }
      result.backup = path;
      reporter_.Message("backup: " + path);
    }
    if (backup.variant != variant) {
      reporter_.Message(transfer::VersionMismatchText(variant, backup.variant));
      return Fail(result, kExitReceiver, "receiver of another kind");
    }
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
  if (!upgrade.Done()) {
    if (upgrade.receiverVariant >= 0) {
      result.receiverVariant = upgrade.receiverVariant;
    }
    const FailureReport failure = ReportFailure(reporter_, upgrade, port_, portIndex_);
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
      AwaitRestartAndVerify(data, variant, options.restartWait, result.restartSeconds);
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
      SayHowToRestore(result.backup);
      return Fail(result, kExitReceiver, text);
    }
    case FlashVerdict::Result::kReadFailed: {
      const FailureReport failure = ReportFailure(reporter_, verdict.outcome, port_, portIndex_);
      if (failure.result != "interrupted") {
        reporter_.Message("upgraded, not verified");
        SayHowToRestore(result.backup);
      }
      return Fail(result, failure.exitCode,
                  failure.result == "interrupted" ? failure.result
                                                  : "upgraded, not verified: " + failure.result);
    }
    case FlashVerdict::Result::kDiffers: {
      result.differing = verdict.differing;
      const std::string text =
          verdict.kindDiffers
              ? std::string("verify failed: the receiver reports itself as ") +
                    romimage::ReceiverVariantTable[verdict.reportedVariant].versionName
              : "verify failed: " + NameBlocks(verdict.differing) + " of the receiver's flash " +
                    (verdict.differing.size() == 1 ? "differs" : "differ") + " from the file";
      reporter_.Message(text);
      SayHowToRestore(result.backup);
      return Fail(result, kExitReceiver, text);
    }
    case FlashVerdict::Result::kUndecided: {
      const std::string text = "upgraded, not verified: " + verdict.proof;
      reporter_.Message(text);
      SayHowToRestore(result.backup);
      return Fail(result, kExitReceiver, text);
    }
  }
  return result;
}

}  // namespace cli
