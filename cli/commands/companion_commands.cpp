#include "cli/commands/companion_commands.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/console/key_names.h"
#include "cli/console/terminal.h"
#include "cli/log/log_record.h"
#include "cli/ports/adapter_text.h"
#include "cli/ports/system_ports.h"
#include "cli/transfers/flash_files.h"
#include "cli/transfers/flash_reader.h"
#include "cli/transfers/flash_verifier.h"
#include "cli/transfers/known_images.h"
#include "cli/transfers/proven_read.h"
#include "cli/transfers/upgrade_steps.h"
#include "link/command_port.h"
#include "link/connect_dialog.h"
#include "link/serial_port.h"
#include "remote/remote_panel_dialog.h"
#include "romimage/file_system.h"
#include "romimage/receiver_variant_table.h"
#include "romimage/rom_image_file.h"
#include "transfer/upgrade_dialog.h"

namespace cli {

namespace {

// The blocks of a checked ROM file: what its tag's kind holds, after the tag (a file may be
// longer than its kind).
std::vector<std::uint8_t> BlocksOf(const std::vector<std::uint8_t>& file,
                                   const romimage::ReceiverVariant& row) {
  const auto begin = file.begin() + romimage::kTagSize;
  return std::vector<std::uint8_t>(begin, begin + row.ImageSize());
}

}  // namespace

CompanionCommands::CompanionCommands(const CommandLine& line, EventReporter& reporter,
                                     std::string port, std::string file, bool several)
    : line_(line),
      reporter_(reporter),
      host_(reporter, line.fast),
      portName_(std::move(port)),
      file_(std::move(file)),
      several_(several) {}

int CompanionCommands::Run() {
  start_ = std::chrono::steady_clock::now();
  Json details = Json::object();
  if (!file_.empty()) {
    details["file"] = file_;
  }
  if (line_.command != "info") {
    // Made usable by the dialogs: a device path or a high COM number is mapped (for this
    // thread only).
    selection_.emplace(portName_);
    portIndex_ = selection_->Index();
    summary_.port = selection_->Label();
    details["fast"] = line_.fast;
  }
  reporter_.Start(line_.command, details);
  if (line_.command == "connect") {
    return Connect();
  }
  if (line_.command == "probe") {
    return Probe();
  }
  if (line_.command == "info") {
    return Info();
  }
  if (line_.command == "read") {
    return Read();
  }
  if (line_.command == "upgrade") {
    return Upgrade();
  }
  if (line_.command == "verify") {
    return Verify();
  }
  return Keys();
}

int CompanionCommands::Finish(int exitCode) {
  return Finish(exitCode, Json::object());
}

int CompanionCommands::Finish(int exitCode, const Json& fields) {
  summary_.exitCode = exitCode;
  summary_.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (exitCode == kExitOk && summary_.result.empty()) {
    summary_.result = "ok";
  }
  // The log and the bench page keep the same record of the run.
  const bool recorded = line_.command != "info" && (log_ != nullptr || reporter_.Tapped());
  const PortIdentity adapter =
      recorded ? IdentifyPort(comm::SerialPort::DevicePath(comm::ComNumber(portIndex_)))
               : PortIdentity();
  Json record = recorded ? Record(adapter) : Json();
  if (log_ != nullptr && recorded && !WriteLog(record) && exitCode == kExitOk) {
    summary_.exitCode = exitCode = kExitFileWrite;
    summary_.result = "not logged";
    record = Record(adapter);
  }
  reporter_.Result(exitCode, fields);
  if (recorded) {
    Json repaired = Json::object();
    for (const auto& [stage, blocks] : repaired_) {
      repaired[stage] = blocks;
    }
    reporter_.Record(record, DescribeAdapter(adapter), repaired);
  }
  return exitCode;
}

Json CompanionCommands::Record(const PortIdentity& identity) {
  Json adapter = Json::object();
  AddAdapterFields(adapter, identity);
  return LogRecord(summary_, line_.command, file_, reporter_.StageSeconds(), proofs_, adapter);
}

bool CompanionCommands::WriteLog(const Json& record) {
  const std::string line = JsonLine(record);
  std::string error;
  if (log_->Append(line, error)) {
    return true;
  }
  reporter_.Message("cannot write the log " + log_->Path() + ": " + error);
  return false;
}

void CompanionCommands::NoteReceiver(int variant) {
  if (variant >= 0 && variant < romimage::kVariantCount) {
    summary_.kind = romimage::ReceiverVariantTable[variant].versionName;
  }
}

int CompanionCommands::Failure(const comm::Outcome& outcome) {
  NoteReceiver(outcome.receiverVariant);
  const FailureReport report = ReportFailure(reporter_, outcome, summary_.port, portIndex_);
  summary_.result = report.result;
  return report.exitCode;
}

int CompanionCommands::Connect() {
  comm::ConnectDialog dialog(portIndex_, line_.baud);
  dialog.DoModal();
  if (!dialog.Outcome().Done()) {
    return Finish(Failure(dialog.Outcome()));
  }
  if (reporter_.InJson()) {
    reporter_.Message(comm::kConnectOkText);
  } else {
    reporter_.Say(comm::kConnectOkText);
  }
  summary_.answered = true;
  return Finish(kExitOk);
}

int CompanionCommands::Probe() {
  // Only whether this port answers: the run over all ports says it for each.
  reporter_.Mute(true);
  comm::ConnectDialog dialog(portIndex_, line_.baud);
  dialog.DoModal();
  reporter_.Mute(false);
  const comm::Outcome& outcome = dialog.Outcome();
  summary_.answered = outcome.Done();
  summary_.result = outcome.Done() ? comm::kConnectOkText : ResultText(outcome);
  return Finish(ui::ConsoleHost::CancelRequested() ? kExitReceiver : ExitCodeFor(outcome));
}

bool CompanionCommands::LoadRomFile(std::vector<std::uint8_t>& image, int& variant) {
  if (checkedFile_ != nullptr) {
    image = *checkedFile_;
    variant = checkedVariant_;
    return true;
  }
  // One port at a time: Windows lets only one reader have the file.
  static std::mutex oneAtATime;
  const std::lock_guard<std::mutex> lock(oneAtATime);
  comm::Outcome failure;
  if (transfer::LoadImageFile(file_, image, variant, failure)) {
    return true;
  }
  summary_.result = failure.message.empty() ? "not enough memory for the file" : failure.message;
  reporter_.Message(summary_.result);
  return false;
}

int CompanionCommands::Info() {
  std::vector<std::uint8_t> image;
  int variant = -1;
  if (!LoadRomFile(image, variant)) {
    return Finish(kExitRomFile);
  }
  const romimage::ReceiverVariant& row = romimage::ReceiverVariantTable[variant];
  const std::string digest = DataDigest(image.data() + romimage::kTagSize, row.ImageSize());
  reporter_.Say("file:     " + file_);
  reporter_.Say("variant:  " + std::to_string(variant) + " (" + std::string(row.imageTag, 20) +
                ")");
  reporter_.Say("version:  " + std::string(row.versionName));
  reporter_.Say("blocks:   " + std::to_string(row.blockCount));
  reporter_.Say("size:     " + std::to_string(image.size()) + " bytes, " +
                std::to_string(row.ImageSize()) + " of them data");
  reporter_.Say("sha256:   " + digest + " (data)");
  return Finish(kExitOk, {{"variant", variant},
                          {"tag", std::string(row.imageTag, 20)},
                          {"version", row.versionName},
                          {"blocks", row.blockCount},
                          {"fileSize", image.size()},
                          {"dataSize", row.ImageSize()},
                          {"sha256", digest}});
}

int CompanionCommands::Read() {
  reporter_.Stage("read");
  // The file could never be written: say so now rather than after the whole read.
  std::error_code ignored;
  const std::filesystem::path folder =
      intoFolder_ ? romimage::Utf8Path(file_) : romimage::Utf8Path(file_).parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, ignored)) {
    summary_.result = romimage::WriteFailureMessage(romimage::WriteResult::kCreateFailed, -1);
    reporter_.Message(summary_.result);
    return Finish(kExitFileWrite);
  }
  FlashReader reader(host_, reporter_, portIndex_, line_.baud, FileLabel(summary_.port));
  ProvenRead read(reader, reporter_, line_.once, known_);
  const ProvenFlash flash = provenFlash_ != nullptr ? *provenFlash_ : read.Run();
  if (!flash.outcome.Done()) {
    if (flash.undecided.empty() && !flash.kindUndecided) {
      return Finish(Failure(flash.outcome));
    }
    // A file with a block no two reads agree on would be a guess: none is written.
    NoteReceiver(flash.variant);
    reporter_.Message(flash.outcome.message + "; " + file_ + " not written");
    summary_.result = "not proven: " + flash.outcome.message;
    return Finish(kExitReceiver, {{"reads", flash.reads}, {"undecided", flash.undecided}});
  }
  NoteReceiver(flash.variant);
  romimage::WriteResult written = romimage::WriteResult::kCreateFailed;
  if (intoFolder_) {
    const std::string port = FileLabel(summary_.port);
    const WrittenFile file = WriteUnderFreeName(
        TimeStamp(),
        [&](const std::string& unique) {
          return romimage::PathUtf8(folder /
                                    romimage::Utf8Path(FlashFileName(flash.variant, port, unique)));
        },
        flash.variant, flash.data.data());
    file_ = file.path;
    written = file.result;
  } else {
    written = romimage::WriteImageFile(file_, flash.variant, flash.data.data());
  }
  if (written != romimage::WriteResult::kWritten) {
    summary_.result = romimage::WriteFailureMessage(written, flash.variant);
    reporter_.Message(summary_.result);
    return Finish(kExitFileWrite);
  }
  held_ = {flash.variant, flash.data};
  if (known_ != nullptr && flash.known.empty() && !line_.once) {
    known_->Add(flash.variant, flash.data, file_);
  }
  const romimage::ReceiverVariant& row = romimage::ReceiverVariantTable[flash.variant];
  summary_.sha256 = DataDigest(flash.data.data(), flash.data.size());
  summary_.file = file_;
  summary_.proof = flash.proof;
  proofs_.emplace_back("read", flash.proof);
  repaired_.emplace_back("read", flash.repaired);
  reporter_.Say("read " + std::to_string(row.blockCount) + " blocks of " + row.versionName +
                " into " + file_ + ": " + flash.proof);
  return Finish(kExitOk, {{"file", file_},
                          {"variant", flash.variant},
                          {"version", row.versionName},
                          {"blocks", row.blockCount},
                          {"sha256", summary_.sha256},
                          {"proof", flash.proof},
                          {"reads", flash.reads},
                          {"repaired", flash.repaired}});
}

int CompanionCommands::Upgrade() {
  std::vector<std::uint8_t> image;
  int fileVariant = -1;
  if (!LoadRomFile(image, fileVariant)) {
    return Finish(kExitRomFile);
  }
  const romimage::ReceiverVariant& row = romimage::ReceiverVariantTable[fileVariant];
  const std::vector<std::uint8_t> data = BlocksOf(image, row);
  image = {};
  const std::string digest = DataDigest(data.data(), data.size());
  summary_.sha256 = digest;  // the image's, whatever becomes of it
  // Ports backed up side by side into one folder carry their port in the name; two runs
  // within one second are numbered.
  const std::string port = several_ ? FileLabel(summary_.port) : std::string();
  const std::string stamp = TimeStamp();
  const auto writeBackup = [&](int kind, const std::vector<std::uint8_t>& flash) {
    return WriteUnderFreeName(
        stamp,
        [&](const std::string& unique) {
          return InFolderOf(file_, BackupFileName(kind, port, unique));
        },
        kind, flash.data());
  };
  UpgradeOptions options;
  options.backup = !line_.noBackup;
  options.once = line_.once;
  options.verify = !line_.noVerify;
  options.force = line_.force;
  options.restartWait = std::chrono::seconds(line_.restartWaitSeconds);
  options.file = file_;
  options.provenBackup = provenFlash_;
  UpgradeSteps steps(host_, reporter_, portIndex_, line_.baud,
                     portName_.empty() ? summary_.port : portName_, FileLabel(summary_.port));
  steps.Know(known_);
  const UpgradeResult upgrade = steps.Run(data, fileVariant, options, writeBackup);
  NoteReceiver(upgrade.receiverVariant);
  held_ = upgrade.held;
  summary_.backup = upgrade.backup;
  summary_.backupSha256 = upgrade.backupSha256;
  summary_.restore = upgrade.restore;
  summary_.result = upgrade.result;
  summary_.upToDate = upgrade.upToDate;
  summary_.writeStarted = upgrade.writeStarted;
  summary_.written = upgrade.written;
  summary_.otherReceiver = upgrade.otherReceiver;
  summary_.restartSeconds = upgrade.restartSeconds;
  Json proof = Json::object();
  for (const auto& [stage, how] :
       {std::pair<const char*, const std::string*>{"backup", &upgrade.backupProof},
        {"verify", &upgrade.verifyProof}}) {
    if (!how->empty()) {
      proofs_.emplace_back(stage, *how);
      proof[stage] = *how;
    }
  }
  summary_.proof = upgrade.upToDate ? upgrade.backupProof : upgrade.verifyProof;
  repaired_ = {{"backup", upgrade.backupRepaired}, {"verify", upgrade.verifyNoise}};
  Json result = Json::object();
  if (!upgrade.backup.empty()) {
    result["backup"] = upgrade.backup;
    result["backupSha256"] = upgrade.backupSha256;
  }
  if (!upgrade.restore.empty()) {
    result["restore"] = upgrade.restore;
  }
  if (upgrade.exitCode == kExitOk) {
    result["blocks"] = row.blockCount;
    result["sha256"] = digest;
    result["upToDate"] = upgrade.upToDate;
  }
  if (!upgrade.differing.empty()) {
    result["differing"] = upgrade.differing;
  }
  result["proof"] = proof;
  return Finish(upgrade.exitCode, result);
}

int CompanionCommands::Verify() {
  std::vector<std::uint8_t> image;
  int fileVariant = -1;
  if (!LoadRomFile(image, fileVariant)) {
    return Finish(kExitRomFile);
  }
  const std::vector<std::uint8_t> data =
      BlocksOf(image, romimage::ReceiverVariantTable[fileVariant]);
  image = {};
  reporter_.Stage("verify");
  FlashReader reader(host_, reporter_, portIndex_, line_.baud, FileLabel(summary_.port));
  FlashVerifier verifier(reader, reporter_, nullptr);
  const FlashVerdict verdict = verifier.Run(data, fileVariant, line_.once);
  if (verdict.result == FlashVerdict::Result::kReadFailed ||
      verdict.result == FlashVerdict::Result::kNoAnswer) {
    return Finish(Failure(verdict.outcome));
  }
  if (verdict.kindDiffers) {
    NoteReceiver(verdict.reportedVariant);
    reporter_.Message(transfer::VersionMismatchText(fileVariant, verdict.reportedVariant));
    summary_.result = "receiver of another kind";
    return Finish(kExitReceiver);
  }
  NoteReceiver(fileVariant);
  summary_.proof = verdict.proof;
  proofs_.emplace_back("verify", verdict.proof);
  repaired_.emplace_back("verify", verdict.noise);
  const std::uint32_t blocks = romimage::ReceiverVariantTable[fileVariant].blockCount;
  for (const std::uint32_t block : verdict.differing) {
    reporter_.Say("block " + std::to_string(block) + " differs");
  }
  for (const std::uint32_t block : verdict.undecided) {
    reporter_.Say("block " + std::to_string(block) + " read differently each time");
  }
  std::string text = "all " + std::to_string(blocks) + " blocks match";
  if (!verdict.differing.empty()) {
    text = std::to_string(verdict.differing.size()) + " of " + std::to_string(blocks) +
           " blocks differ";
  } else if (verdict.result == FlashVerdict::Result::kUndecided) {
    text = "not proven: " + verdict.proof;
  } else if (verdict.reads > 1) {
    text += " (" + verdict.proof + ")";
  }
  reporter_.Say(text);
  const bool verified = verdict.result == FlashVerdict::Result::kVerified;
  if (verified) {
    summary_.sha256 = DataDigest(data.data(), data.size());
  } else {
    summary_.result = text;
  }
  Json result = {{"blocks", blocks}, {"differing", verdict.differing}, {"proof", verdict.proof}};
  if (!verdict.undecided.empty()) {
    result["undecided"] = verdict.undecided;
  }
  return Finish(verified ? kExitOk : kExitReceiver, result);
}

int CompanionCommands::Keys() {
  std::vector<int> buttons;
  for (const std::string& name : line_.arguments) {
    buttons.push_back(KeyButtonForName(name).value_or(0));  // the command line checked them
  }
  // The panel opens COM1 to COM4 only; any other port stands in for COM1.
  if (portIndex_ < 0 || portIndex_ > 3) {
    selection_->Map(1, comm::SerialPort::DevicePath(comm::ComNumber(portIndex_)));
    portIndex_ = 0;
  }
  std::int32_t portIndex = portIndex_;
  remote::RemotePanelDialog panel(portIndex, line_.baud);
  int sent = 0;
  host_.OnIdle([&](ui::ConsoleHost& host) {
    for (int round = 0; round < line_.repeat && panel.Outcome().Done(); ++round) {
      for (const int button : buttons) {
        if (ui::ConsoleHost::CancelRequested()) {
          return;
        }
        host.Click(button);
        ++sent;
        std::this_thread::sleep_for(std::chrono::milliseconds(line_.gapMs));
      }
    }
  });
  panel.DoModal();
  host_.OnIdle(nullptr);
  if (ui::ConsoleHost::CancelRequested() || !panel.Outcome().Done()) {
    return Finish(Failure(panel.Outcome()), {{"sent", sent}});
  }
  reporter_.Say("sent " + std::to_string(sent) + " keys");
  return Finish(kExitOk, {{"sent", sent}});
}

}  // namespace cli
