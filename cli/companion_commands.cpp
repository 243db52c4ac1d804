#include "cli/companion_commands.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "app/service_app.h"
#include "cli/console_terminal.h"
#include "cli/key_names.h"
#include "cli/sha256.h"
#include "link/command_port.h"
#include "link/connect_dialog.h"
#include "link/serial_port.h"
#include "remote/remote_panel_dialog.h"
#include "romimage/file_system.h"
#include "romimage/receiver_variant_table.h"
#include "romimage/rom_image_file.h"
#include "transfer/read_software_dialog.h"
#include "transfer/upgrade_dialog.h"

namespace cli {

namespace {

// Between the backup read and the upgrade the receiver gets the moment a user's next click
// would give it.
constexpr auto kSettleAfterRead = std::chrono::milliseconds(300);

std::string TagName(int variant) {
  // "VESKER_SZ_RomFtaAMD1" names itself well enough without its common head.
  return std::string(romimage::ReceiverVariantTable[variant].imageTag + 10, 10);
}

// Now as "yyyymmdd-hhmmss", for backup names.
std::string TimeStamp() {
  const std::tm local = LocalTime(std::time(nullptr));
  char text[32];
  std::strftime(text, sizeof(text), "%Y%m%d-%H%M%S", &local);
  return text;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream file(romimage::Utf8Path(path), std::ios::binary);
  if (!file) {
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

bool Exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(romimage::Utf8Path(path), ignored);
}

// name(stamp), or name("stamp-2"), name("stamp-3") ... whichever is no file yet, so that two
// runs within one second never write over each other.
std::string FreeName(const std::string& stamp,
                     const std::function<std::string(const std::string&)>& name) {
  std::string candidate = name(stamp);
  for (int n = 2; Exists(candidate); ++n) {
    std::string numbered = stamp;
    numbered += '-';
    numbered += std::to_string(n);
    candidate = name(numbered);
  }
  return candidate;
}

// In a word or two, why a port could not be opened.
std::string OpenFailureWord(const comm::Outcome& outcome) {
  using comm::PortFailure;
  switch (outcome.portFailure) {
    case PortFailure::kNotPermitted:
      return "not permitted";
    case PortFailure::kBusy:
      return "busy";
    case PortFailure::kMissing:
      return "no such device";
    case PortFailure::kUnknownHost:
      return "unknown host";
    case PortFailure::kRefused:
      return "refused";
    case PortFailure::kSettings:
      return "line settings refused";
    case PortFailure::kNone:
    case PortFailure::kOther:
      break;
  }
  return outcome.portFailureDetail;
}

// What a summary says of an ending.
std::string ResultText(const comm::Outcome& outcome) {
  using Ending = comm::Outcome::Ending;
  switch (outcome.ending) {
    case Ending::kDone:
      return "ok";
    case Ending::kCancelled:
      return "cancelled";
    case Ending::kPortFailed:
      return OpenFailureWord(outcome).empty() ? "cannot open"
                                              : "cannot open: " + OpenFailureWord(outcome);
    case Ending::kVersionMismatch:
      return "receiver of another kind";
    case Ending::kNoMemory:
      return "out of memory";
    case Ending::kNoAnswer:
    case Ending::kBadRomFile:
    case Ending::kFileNotWritten:
      break;
  }
  return outcome.message;
}

// The SHA-256 of a ROM image's data: exactly the blocks an upgrade sends or a read gives,
// after the tag; empty for a file too short for them.
std::string DataDigest(const void* file, std::size_t size, const romimage::ReceiverVariant& row) {
  if (size < row.FileLength()) {
    return std::string();
  }
  Sha256 hash;
  hash.Add(static_cast<const std::uint8_t*>(file) + romimage::kTagSize, row.ImageSize());
  return hash.HexDigest();
}

std::string InFolderOf(const std::string& file, const std::string& name) {
  const std::filesystem::path folder = romimage::Utf8Path(file).parent_path();
  return romimage::PathUtf8(folder.empty() ? romimage::Utf8Path(name)
                                           : folder / romimage::Utf8Path(name));
}

}  // namespace

std::string OpenFailureText(const comm::Outcome& outcome, const std::string& device) {
  using comm::PortFailure;
  const std::string& detail = outcome.portFailureDetail;
  const std::string word = OpenFailureWord(outcome);
  std::string text = word.empty() ? "the system gave no reason" : word;
  switch (outcome.portFailure) {
    case PortFailure::kNotPermitted:
      text += " (" + detail + ")";
      if (const std::string remedy = AccessRemedy(device); !remedy.empty()) {
        text += "; " + remedy;
      }
      return text;
    case PortFailure::kBusy:
      return text + ": " +
             (detail == "another program holds it" ? detail
                                                   : "another program holds it (" + detail + ")");
    case PortFailure::kMissing:
    case PortFailure::kUnknownHost:
    case PortFailure::kRefused:
    case PortFailure::kSettings:
      return detail.empty() ? text : text + " (" + detail + ")";
    case PortFailure::kNone:
    case PortFailure::kOther:
      break;
  }
  return text;
}

int ExitCodeFor(const comm::Outcome& outcome) {
  using Ending = comm::Outcome::Ending;
  switch (outcome.ending) {
    case Ending::kDone:
      return kExitOk;
    case Ending::kPortFailed:
      return kExitPort;
    case Ending::kBadRomFile:
      return kExitRomFile;
    case Ending::kFileNotWritten:
      return kExitFileWrite;
    case Ending::kCancelled:
    case Ending::kNoAnswer:
    case Ending::kVersionMismatch:
    case Ending::kNoMemory:
      return kExitReceiver;
  }
  return kExitReceiver;
}

std::string BackupFileName(int variant, const std::string& port, const std::string& timeStamp) {
  return "backup-" + TagName(variant) + "-" + (port.empty() ? "" : port + "-") + timeStamp + ".bin";
}

CompanionCommands::CompanionCommands(const CommandLine& line, EventReporter& reporter,
                                     std::string port, std::string file, bool several)
    : line_(line),
      reporter_(reporter),
      host_(reporter, line.fast),
      portName_(std::move(port)),
      file_(std::move(file)),
      several_(several) {}

CompanionCommands::~CompanionCommands() {
  for (const int n : mapped_) {
    comm::SerialPort::MapPort(n, std::string());
  }
}

int CompanionCommands::Run() {
  start_ = std::chrono::steady_clock::now();
  JsonObject details;
  if (!file_.empty()) {
    details.Add("file", file_);
  }
  if (line_.command != "info") {
    SelectPort();
    details.Add("fast", line_.fast);
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

void CompanionCommands::SelectPort() {
  int n = 0;
  if (portName_.empty() || !ParsePortName(portName_, n)) {
    // As the program starts: the index kept in Pelto.cfg, whatever value it holds.
    portIndex_ = app::LoadStartUpConfig().portIndex;
    summary_.port = "COM" + std::to_string(comm::ComNumber(portIndex_));
    return;
  }
  if (n == 0) {
    // A device by its path stands in for COM1.
    comm::SerialPort::MapPort(1, portName_);
    mapped_.push_back(1);
    portIndex_ = 0;
    summary_.port = portName_;
    return;
  }
  if (NeedsComDevice(n)) {
    comm::SerialPort::MapPort(n, ComDevice(n));
    mapped_.push_back(n);
  }
  portIndex_ = n - 1;
  summary_.port = "COM" + std::to_string(n);
}

int CompanionCommands::Finish(int exitCode, const JsonObject& fields) {
  summary_.exitCode = exitCode;
  summary_.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (exitCode == kExitOk && summary_.result.empty()) {
    summary_.result = "ok";
  }
  reporter_.Result(exitCode, fields);
  return exitCode;
}

void CompanionCommands::NoteReceiver(int variant) {
  if (variant >= 0 && variant < romimage::kVariantCount) {
    summary_.kind = romimage::ReceiverVariantTable[variant].versionName;
  }
}

int CompanionCommands::Failure(const comm::Outcome& outcome) {
  NoteReceiver(outcome.receiverVariant);
  if (ui::ConsoleHost::CancelRequested()) {
    reporter_.Message("interrupted");
    summary_.result = "interrupted";
    return kExitReceiver;
  }
  summary_.result = ResultText(outcome);
  if (outcome.ending == comm::Outcome::Ending::kPortFailed) {
    // "open port1 error!" is all the program says; the reason is what the user acts on.
    reporter_.Message(
        "cannot open " + summary_.port + ": " +
        OpenFailureText(outcome, comm::SerialPort::DevicePath(comm::ComNumber(portIndex_))));
  }
  return ExitCodeFor(outcome);
}

int CompanionCommands::Connect() {
  comm::ConnectDialog dialog(portIndex_, line_.baud);
  dialog.DoModal();
  if (!dialog.Outcome().Done()) {
    return Finish(Failure(dialog.Outcome()));
  }
  if (reporter_.Json()) {
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
  const std::string digest = DataDigest(image.data(), image.size(), row);
  reporter_.Say("file:     " + file_);
  reporter_.Say("variant:  " + std::to_string(variant) + " (" + std::string(row.imageTag, 20) +
                ")");
  reporter_.Say("version:  " + std::string(row.versionName));
  reporter_.Say("blocks:   " + std::to_string(row.blockCount));
  reporter_.Say("size:     " + std::to_string(image.size()) + " bytes, " +
                std::to_string(row.ImageSize()) + " of them data");
  reporter_.Say("sha256:   " + digest + " (data)");
  return Finish(kExitOk, JsonObject()
                             .Add("variant", variant)
                             .Add("tag", std::string(row.imageTag, 20))
                             .Add("version", row.versionName)
                             .Add("blocks", static_cast<std::int64_t>(row.blockCount))
                             .Add("fileSize", static_cast<std::int64_t>(image.size()))
                             .Add("dataSize", static_cast<std::int64_t>(row.ImageSize()))
                             .Add("sha256", digest));
}

comm::Outcome CompanionCommands::ReadInto(const std::string& path) {
  // The file could never be written: say so now rather than after the whole read, as the
  // read would end.
  std::error_code ignored;
  const std::filesystem::path folder = romimage::Utf8Path(path).parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, ignored)) {
    comm::Outcome refused;
    refused.ending = comm::Outcome::Ending::kFileNotWritten;
    refused.message = romimage::WriteFailureMessage(romimage::WriteResult::kCreateFailed, -1);
    reporter_.Message(refused.message);
    return refused;
  }
  host_.AnswerFileDialog(path);
  transfer::ReadSoftwareDialog dialog(portIndex_, line_.baud);
  dialog.SetProgressListener(&reporter_);
  dialog.DoModal();
  return dialog.Outcome();
}

int CompanionCommands::Read() {
  reporter_.Stage("read");
  const comm::Outcome read = ReadInto(file_);
  if (!read.Done()) {
    return Finish(Failure(read));
  }
  NoteReceiver(read.receiverVariant);
  const romimage::ReceiverVariant& row = romimage::ReceiverVariantTable[read.receiverVariant];
  std::string written;
  if (ReadWholeFile(file_, written)) {
    summary_.sha256 = DataDigest(written.data(), written.size(), row);
  }
  reporter_.Say("read " + std::to_string(row.blockCount) + " blocks of " + row.versionName +
                " into " + file_);
  return Finish(kExitOk, JsonObject()
                             .Add("variant", read.receiverVariant)
                             .Add("version", row.versionName)
                             .Add("blocks", static_cast<std::int64_t>(row.blockCount))
                             .Add("sha256", summary_.sha256));
}

int CompanionCommands::Upgrade() {
  std::vector<std::uint8_t> image;
  int fileVariant = -1;
  if (!LoadRomFile(image, fileVariant)) {
    return Finish(kExitRomFile);
  }
  const romimage::ReceiverVariant& row = romimage::ReceiverVariantTable[fileVariant];
  const std::string digest = DataDigest(image.data(), image.size(), row);
  image = {};
  JsonObject result;
  if (!line_.noBackup) {
    reporter_.Stage("backup");
    // Read under a provisional name; the receiver's variant completes it afterwards. Ports
    // backed up side by side into one folder carry their port in the name.
    const std::string port = several_ ? FileLabel(summary_.port) : std::string();
    const std::string stamp = TimeStamp();
    std::string backup = FreeName(stamp, [&](const std::string& unique) {
      return InFolderOf(file_,
                        "backup-" + (port.empty() ? "" : port + "-") + unique + ".reading.bin");
    });
    const comm::Outcome read = ReadInto(backup);
    if (!read.Done()) {
      const int code = Failure(read);
      reporter_.Message("no backup of the receiver, so no upgrade");
      return Finish(code);
    }
    const int reported = read.receiverVariant;
    NoteReceiver(reported);
    const std::string named = FreeName(stamp, [&](const std::string& unique) {
      return InFolderOf(file_, BackupFileName(reported, port, unique));
    });
    std::error_code failed;
    std::filesystem::rename(romimage::Utf8Path(backup), romimage::Utf8Path(named), failed);
    if (!failed) {
      backup = named;
    }
    summary_.backup = backup;
    reporter_.Message("backup: " + backup);
    result.Add("backup", backup);
    if (reported != fileVariant) {
      reporter_.Message(transfer::VersionMismatchText(fileVariant, reported));
      summary_.result = "receiver of another kind";
      return Finish(kExitReceiver, result);
    }
    std::this_thread::sleep_for(kSettleAfterRead);
  }
  reporter_.Stage("upgrade");
  transfer::UpgradeDialog dialog(file_, portIndex_, line_.baud);
  dialog.SetProgressListener(&reporter_);
  dialog.DoModal();
  if (!dialog.Outcome().Done()) {
    return Finish(Failure(dialog.Outcome()), result);
  }
  NoteReceiver(fileVariant);
  summary_.sha256 = digest;
  reporter_.Say("upgraded " + std::to_string(row.blockCount) + " blocks of " + row.versionName +
                "; the receiver restarts");
  return Finish(
      kExitOk,
      result.Add("blocks", static_cast<std::int64_t>(row.blockCount)).Add("sha256", digest));
}

int CompanionCommands::Verify() {
  std::vector<std::uint8_t> image;
  int fileVariant = -1;
  if (!LoadRomFile(image, fileVariant)) {
    return Finish(kExitRomFile);
  }
  std::error_code failed;
  const std::filesystem::path folder = std::filesystem::temp_directory_path(failed);
  const std::string copy = FreeName(TimeStamp(), [&](const std::string& unique) {
    return romimage::PathUtf8(
        folder / ("vesker-link-verify-" + FileLabel(summary_.port) + "-" + unique + ".bin"));
  });
  reporter_.Stage("verify");
  const comm::Outcome read = ReadInto(copy);
  std::string flash;
  const bool kept = read.Done() && ReadWholeFile(copy, flash);
  std::filesystem::remove(romimage::Utf8Path(copy), failed);
  if (!read.Done()) {
    return Finish(Failure(read));
  }
  const int reported = read.receiverVariant;
  NoteReceiver(reported);
  if (!kept) {
    summary_.result = "cannot read back " + copy;
    reporter_.Message(summary_.result);
    return Finish(kExitFileWrite);
  }
  if (reported != fileVariant) {
    reporter_.Message(transfer::VersionMismatchText(fileVariant, reported));
    summary_.result = "receiver of another kind";
    return Finish(kExitReceiver);
  }
  const romimage::ReceiverVariant& row = romimage::ReceiverVariantTable[fileVariant];
  summary_.sha256 = DataDigest(flash.data(), flash.size(), row);
  std::string list = "[";
  std::uint32_t differing = 0;
  for (std::uint32_t block = 0; block < row.blockCount; ++block) {
    const std::size_t offset = romimage::kTagSize + std::size_t{block} * romimage::kBlockSize;
    if (flash.size() < offset + romimage::kBlockSize ||
        std::memcmp(flash.data() + offset, image.data() + offset, romimage::kBlockSize) != 0) {
      reporter_.Say("block " + std::to_string(block) + " differs");
      list += (differing++ ? "," : "") + std::to_string(block);
    }
  }
  const std::string verdict =
      differing == 0
          ? "all " + std::to_string(row.blockCount) + " blocks match"
          : std::to_string(differing) + " of " + std::to_string(row.blockCount) + " blocks differ";
  reporter_.Say(verdict);
  if (differing != 0) {
    summary_.result = verdict;
  }
  return Finish(differing == 0 ? kExitOk : kExitReceiver,
                JsonObject()
                    .Add("blocks", static_cast<std::int64_t>(row.blockCount))
                    .AddRaw("differing", list + "]"));
}

int CompanionCommands::Keys() {
  std::vector<int> buttons;
  for (const std::string& name : line_.arguments) {
    buttons.push_back(KeyButtonForName(name).value_or(0));  // the command line checked them
  }
  // The panel opens COM1 to COM4 only; any other port stands in for COM1.
  if (portIndex_ < 0 || portIndex_ > 3) {
    const std::string device = ComDevice(comm::ComNumber(portIndex_));
    comm::SerialPort::MapPort(1, device);
    mapped_.push_back(1);
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
    return Finish(Failure(panel.Outcome()), JsonObject().Add("sent", sent));
  }
  reporter_.Say("sent " + std::to_string(sent) + " keys");
  return Finish(kExitOk, JsonObject().Add("sent", sent));
}

}  // namespace cli
