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
  ProvenRead read(reader_, reporter_, once, known_);
  return read.Run({{&data, variant, "1 read equal to the file"}}, variant);
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
                              const UpgradeOptions& options, UpgradeResult& result,
                              OldSoftware& old) {
  reporter_.Stage("backup");
  ProvenFlash backup = options.provenBackup != nullptr ? *options.provenBackup
                                                       : ReadBackup(data, variant, options.once);
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
  // Its kind, told by two reads, is refused before anything of its flash is read or kept.
  if (backup.variant != variant) {
    reporter_.Message(transfer::VersionMismatchText(variant, backup.variant));
    result.held.variant = backup.variant;
    Fail(result, kExitReceiver, "receiver of another kind");
    return false;
  }
  if (backup.data == data && !options.force) {
    result.held = {variant, data};
    // Nothing to write, and nothing to keep: the file is the backup.
    result.upToDate = true;
    result.result = "up to date";
    reporter_.Say("the receiver already holds this software (" +
                  std::string(romimage::ReceiverVariantTable[variant].versionName) +
                  "): nothing written");
    return false;
  }
  old.flash = std::move(backup.data);
  if (old.flash == data) {
    old.file = options.file;  // written again on purpose: the file is its own way back
  } else if (!KeepOldSoftware(variant, backup.known, result, old)) {
    reporter_.Message("no backup of the receiver, so no upgrade");
    Fail(result, kExitFileWrite, "backup not written");
    return false;
  }
  std::this_thread::sleep_for(kSettleBetweenPasses);
  return true;
}

bool UpgradeSteps::KeepOldSoftware(int variant, const std::string& known, UpgradeResult& result,
                                   OldSoftware& old) {
  result.backupSha256 = DataDigest(old.flash.data(), old.flash.size());
  const auto write = [&]() {
    const WrittenFile written = (*writeBackup_)(variant, old.flash);
    if (written.result == romimage::WriteResult::kWritten) {
      return written.path;
    }
    reporter_.Message(romimage::WriteFailureMessage(written.result, variant) + " (" + written.path +
                      ")");
    return std::string();
  };
  // A bench of many receivers with the same old software keeps one file of it.
  bool kept = !known.empty();
  const std::string path = kept                ? known
                           : known_ != nullptr ? known_->Keep(variant, old.flash, write, kept)
                                               : write();
  if (path.empty()) {
    return false;
  }
  result.backup = old.file = path;
  reporter_.Message("backup: " + path + (kept ? " (kept already)" : ""));
  return true;
}

UpgradeResult& UpgradeSteps::Conclude(UpgradeResult& result, std::uint32_t blocksSent,
                                      const Ending& ending, OldSoftware& old) {
  const WayBack way = DecideWayBack(blocksSent, ending.how, ending.details);
  result.writeStarted = blocksSent > 0;
  result.otherReceiver = way.otherReceiver;
  result.exitCode = ending.exitCode;
  result.result = way.result;
  if (way.told) {
    reporter_.Message(way.result + ending.aside);
  }
  if (!way.offered) {
    return result;
  }
  // A file kept from before, or written at the start, may have changed since: the way back
  // names only a file that still holds the old software, written again where it must be.
  if (!old.file.empty() && !old.flash.empty() && !FileHolds(old.file, old.variant, old.flash)) {
    reporter_.Message(old.file + " no longer holds the old software: it is kept again");
    old.file.clear();
    if (KeepOldSoftware(old.variant, std::string(), result, old)) {
      result.backup = old.file;
    }
  }
  if (old.file.empty()) {
    reporter_.Message("no backup of the old software was read");
    return result;
  }
  result.restore = RestoreCommand(port_, baud_, old.file);
  reporter_.Message("the old software is in " + old.file + "; to put it back: " + result.restore);
  return result;
}

UpgradeResult UpgradeSteps::Run(const std::vector<std::uint8_t>& data, int variant,
                                const UpgradeOptions& options, const BackupWriter& writeBackup) {
  UpgradeResult result;
  const romimage::ReceiverVariant& row = romimage::ReceiverVariantTable[variant];
  OldSoftware old;
  old.variant = variant;
  writeBackup_ = &writeBackup;
  if (options.backup && !TakeBackup(data, variant, options, result, old)) {
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
    if (sent == 0 && !old.flash.empty()) {
      result.held = {variant, old.flash};  // it holds what it held
    }
    return Conclude(result, sent, {UpgradeEnding::kWriteFailed, failure.result, failure.exitCode},
                    old);
  }
  result.written = true;
  result.receiverVariant = variant;
  // Every block taken: as far as anything but a read-back can tell, it holds the file.
  result.held = {variant, data};
  const std::string upgraded =
      "upgraded " + std::to_string(row.blockCount) + " blocks of " + row.versionName;
  if (!options.verify) {
    result.verifyProof = "not verified";
    reporter_.Say(upgraded + "; the receiver restarts (not verified)");
    return Conclude(result, sent, {UpgradeEnding::kNotVerified}, old);
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
  if (verdict.result == FlashVerdict::Result::kDiffers ||
      verdict.result == FlashVerdict::Result::kUndecided) {
    // What the reads proved, where they decided it.
    result.held = verdict.flash.empty() ? HeldFlash() : HeldFlash{variant, verdict.flash};
  }
  return Conclude(result, sent, ReadBackEnding(verdict, old), old);
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
