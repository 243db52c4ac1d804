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
  if (ui::ConsoleHost::CancelRequested()) {
    return comm::Outcome();  // cancelled before the receiver heard of it
  }
  transfer::UpgradeDialog dialog(romPath, portIndex_, baud_);
  dialog.SetProgressListener(&reporter_);
  dialog.StopOnCancel(true);
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

UpgradeResult& UpgradeSteps::Fail(UpgradeResult& result, int exitCode, const std::string& text) {
  result.exitCode = exitCode;
  result.result = text;
  return result;
}

bool UpgradeSteps::TakeBackup(const std::vector<std::uint8_t>& data, int variant,
                              const UpgradeOptions& options, const BackupWriter& writeBackup,
                              UpgradeResult& result, OldSoftware& old) {
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
    Fail(result, failure.exitCode, failure.result);
    return false;
  }
  result.backupProof = backup.proof;
  result.backupRepaired = backup.repaired;
  const bool holdsFile = backup.variant == variant && backup.data == data;
  if (holdsFile && !options.force) {
    // Nothing to write, and nothing to keep: the file is the backup.
    result.upToDate = true;
    result.result = "up to date";
    reporter_.Say("the receiver already holds this software (" +
                  std::string(romimage::ReceiverVariantTable[variant].versionName) +
                  "): nothing written");
    return false;
  }
  if (holdsFile) {
    old.file = options.file;  // written again on purpose: the file is its own way back
  } else {
    const WrittenFile written = writeBackup(backup.variant, backup.data);
    if (written.result != romimage::WriteResult::kWritten) {
      reporter_.Message(romimage::WriteFailureMessage(written.result, backup.variant) + " (" +
                        written.path + ")");
      reporter_.Message("no backup of the receiver, so no upgrade");
      Fail(result, kExitFileWrite, "backup not written");
      return false;
    }
    result.backup = old.file = written.path;
    reporter_.Message("backup: " + written.path);
  }
  if (backup.variant != variant) {
    reporter_.Message(transfer::VersionMismatchText(variant, backup.variant));
    Fail(result, kExitReceiver, "receiver of another kind");
    return false;
  }
  old.flash = std::move(backup.data);
  std::this_thread::sleep_for(kSettleBetweenPasses);
  return true;
}

UpgradeResult& UpgradeSteps::Conclude(UpgradeResult& result, std::uint32_t blocksSent,
                                      const Ending& ending, const std::string& oldFile) {
  const WayBack way = DecideWayBack(blocksSent, ending.how, ending.details);
  result.writeStarted = blocksSent > 0;
  result.otherReceiver = way.otherReceiver;
  result.exitCode = ending.exitCode;
  result.result = way.result;
  if (way.told) {
    reporter_.Message(way.result + ending.aside);
  }
  if (way.offered && oldFile.empty()) {
    reporter_.Message("no backup of the old software was read");
  } else if (way.offered) {
    result.restore = RestoreCommand(port_, baud_, oldFile);
    reporter_.Message("the old software is in " + oldFile + "; to put it back: " + result.restore);
  }
  return result;
}

UpgradeResult UpgradeSteps::Run(const std::vector<std::uint8_t>& data, int variant,
                                const UpgradeOptions& options, const BackupWriter& writeBackup) {
  UpgradeResult result;
  const romimage::ReceiverVariant& row = romimage::ReceiverVariantTable[variant];
  OldSoftware old;
  if (options.backup && !TakeBackup(data, variant, options, writeBackup, result, old)) {
    return result;
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
  const std::uint32_t sent = upgrade.blocksSent;
  if (!upgrade.Done()) {
    if (upgrade.receiverVariant >= 0) {
      result.receiverVariant = upgrade.receiverVariant;
    }
    const FailureReport failure = ReportFailure(reporter_, upgrade, port_, portIndex_);
    return Conclude(result, sent, {UpgradeEnding::kWriteFailed, failure.result, failure.exitCode},
                    old.file);
  }
  result.written = true;
  result.receiverVariant = variant;
  const std::string upgraded =
      "upgraded " + std::to_string(row.blockCount) + " blocks of " + row.versionName;
  if (!options.verify) {
    result.verifyProof = "not verified";
    reporter_.Say(upgraded + "; the receiver restarts (not verified)");
    return Conclude(result, sent, {UpgradeEnding::kNotVerified}, old.file);
  }
  const FlashVerdict verdict =
      AwaitRestartAndVerify(data, variant, options.restartWait, result.restartSeconds,
                            old.flash.empty() ? nullptr : &old.flash);
  result.verifyProof = verdict.proof;
  result.verifyNoise = verdict.noise;
  result.differing = verdict.differing;
  if (verdict.result == FlashVerdict::Result::kVerified) {
    reporter_.Say(upgraded + "; verified (" + verdict.proof + ")");
  }
  return Conclude(result, sent, ReadBackEnding(verdict, old), old.file);
}

UpgradeSteps::Ending UpgradeSteps::ReadBackEnding(const FlashVerdict& verdict,
                                                  const OldSoftware& old) {
  const auto differing = [&](const char* what) {
    return NameBlocks(verdict.differing) + what +
           (verdict.differing.size() == 1 ? " differs" : " differ");
  };
  switch (verdict.result) {
    case FlashVerdict::Result::kVerified:
      return {UpgradeEnding::kVerified};
    case FlashVerdict::Result::kNoAnswer:
      return {UpgradeEnding::kNoAnswer, "", kExitReceiver};
    case FlashVerdict::Result::kReadFailed: {
      const FailureReport failure = ReportFailure(reporter_, verdict.outcome, port_, portIndex_);
      return {ui::ConsoleHost::CancelRequested() ? UpgradeEnding::kInterrupted
                                                 : UpgradeEnding::kReadFailed,
              failure.result, failure.exitCode};
    }
    case FlashVerdict::Result::kUndecided:
      return {UpgradeEnding::kUndecided, verdict.proof, kExitReceiver};
    case FlashVerdict::Result::kDiffers:
      break;
  }
  // What the read-back found instead of the file. Only another kind, named in two reads,
  // tells that the receiver written to has gone.
  if (verdict.kindDiffers) {
    return {UpgradeEnding::kOtherKind, "", kExitReceiver,
            std::string(" (it reports itself as ") +
                romimage::ReceiverVariantTable[verdict.reportedVariant].versionName + ")"};
  }
  if (verdict.asBefore) {
    return {UpgradeEnding::kOldSoftware, "", kExitReceiver, " (as in " + old.file + ")"};
  }
  if (verdict.showsWrite || old.flash.empty()) {
    return {UpgradeEnding::kFileButFor, differing(" of the receiver's flash"), kExitReceiver};
  }
  return {UpgradeEnding::kNeither, differing(""), kExitReceiver};
}

}  // namespace cli
