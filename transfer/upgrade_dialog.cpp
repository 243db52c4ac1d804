#include "transfer/upgrade_dialog.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "link/frames.h"
#include "res/resource.h"
#include "romimage/image_file_reader.h"
#include "romimage/receiver_variant_table.h"
#include "romimage/rom_image_file.h"
#include "ui/program_title.h"

namespace transfer {

namespace {

constexpr int kTransferTimer = 1;
constexpr unsigned kTickMs = 50;
constexpr std::uint32_t kGiveUpMs = 3000;

// The receiver's "go on" replies: one set for the Fta and T lines, one for CI and HCI.
const std::array<comm::Frame, 3> kFtaTReplies = {
    comm::AckFrame, comm::CommandFrame(comm::kReplyCode11, comm::kReplyQualifier11),
    comm::CommandFrame(comm::kReplyCodeAA)};
const std::array<comm::Frame, 3> kCiHciReplies = {comm::CommandFrame(comm::kReplyCodeF0),
                                                  comm::CommandFrame(comm::kReplyCodeF2),
                                                  comm::CommandFrame(comm::kReplyCodeFF)};

bool UsesCiHciReplies(int variant) {
  return variant >= 4 && variant <= 11;
}

}  // namespace

std::string VersionMismatchText(int fileVariant, int reportedVariant) {
  return std::string("software version incorrect！\r\n") +
         "pls send below information to your provider！\r\n" + "\r\n" + "\"error version <" +
         romimage::ReceiverVariantTable[fileVariant].versionName + "> to <" +
         romimage::ReceiverVariantTable[reportedVariant].versionName + ">\"";
}

bool LoadImageFile(const std::string& path, std::vector<std::uint8_t>& image, int& variant,
                   std::string& message) {
  switch (romimage::ReadImageFile(path, image)) {
    case romimage::ReadResult::kRead:
      break;
    case romimage::ReadResult::kOpenFailed:
      message = "Open file<" + path + "> error！";
      return false;
    case romimage::ReadResult::kBadLength:
      message = "file size error！";
      return false;
    case romimage::ReadResult::kNoMemory:
      message.clear();  // as ever, a failed allocation says nothing of its own
      return false;
    case romimage::ReadResult::kReadShort:
      message = "read file data error！";
      return false;
  }
  switch (romimage::CheckImageFile(image.data(), image.size(), variant)) {
    case romimage::ImageCheck::kAccepted:
      return true;
    case romimage::ImageCheck::kBadLength:
      // A 1 MiB file whose tag names a 2 MiB receiver: half its blocks would be missing.
      message = "file size error！";
      return false;
    case romimage::ImageCheck::kBadTag:
      message = "file data error！";
      return false;
  }
  return false;
}

UpgradeDialog::UpgradeDialog(std::string path, std::int32_t portIndex)
    : ui::Dialog(IDD_UPGRADE), portIndex_(portIndex), romPath(std::move(path)) {}

bool UpgradeDialog::OnInitDialog() {
  SetItemText(IDC_PROGRESS_TEXT, "0/0 blocks");
  Repaint();
  if (!LoadRomImage()) {
    OnCancel();
    return false;
  }
  return true;
}

// An exception inside either step fails it, as a bad file or a closed port does.
int UpgradeDialog::LoadRomImage() try {
  int match = -1;
  std::string message;
  if (!LoadImageFile(romPath, image, match, message)) {
    if (!message.empty()) {
      ShowMessage(message, ui::kProgramTitle);
    }
    return 0;
  }
  variant = match;
  blockCount = romimage::ReceiverVariantTable[match].blockCount;
  return StartTransfer();
} catch (...) {
  return 0;
}

int UpgradeDialog::StartTransfer() try {
  std::string failure;
  if (!comm::OpenReceiverPort(port, portIndex_, failure)) {
    ShowMessage(failure, ui::kProgramTitle);
    return 0;
  }
  port.SendCommand(comm::CMD_UPGRADE_START);
  SetTimer(kTransferTimer, kTickMs);
  return 1;
} catch (...) {
  return 0;
}

bool UpgradeDialog::IsAcknowledgement(const std::uint8_t* reply) const {
  const auto& set = UsesCiHciReplies(variant) ? kCiHciReplies : kFtaTReplies;
  return std::any_of(set.begin(), set.end(), [reply](const comm::Frame& frame) {
    return std::memcmp(reply, frame.data(), frame.size()) == 0;
  });
}

bool UpgradeDialog::IsTickReady(int id) {
  return id == kTransferTimer && port.InQueueCount() >= static_cast<int>(comm::kFrameSize);
}

void UpgradeDialog::OnTimer(int id) {
  if (id != kTransferTimer) {
    return;
  }
  const int queued = port.InQueueCount();
  if (queued < static_cast<int>(comm::kFrameSize)) {
    silenceMs += kTickMs;
    if (silenceMs >= kGiveUpMs) {
      Fail("no answer1！");
    }
    return;
  }
  comm::Frame reply{};
  port.Read(reply.data(), static_cast<int>(reply.size()));
  // The receiver answers each block once; anything queued beyond one reply is not an answer
  // to a block sent, and must not release the next one.
  std::uint8_t surplus[512];
  for (int left = queued - static_cast<int>(reply.size()); left > 0;) {
    const int n = port.Read(surplus, std::min(left, static_cast<int>(sizeof(surplus))));
    if (n <= 0) {
      break;
    }
    left -= n;
  }
  const int reported = romimage::MatchVariantReport(reply.data());
  if (reported >= 0 && reported != variant) {
    port.SendCommand(comm::CMD_STOP);
    OnCancel();
    ShowVersionMismatch(variant, reported);
    return;
  }
  if (reported < 0 && !IsAcknowledgement(reply.data())) {
    Fail(UsesCiHciReplies(variant) ? "no answer C！" : "no answer F！");
    return;
  }
  if (blocksDone < blockCount) {
    const std::size_t offset = romimage::kTagSize + blocksDone * romimage::kBlockSize;
    port.Write(image.data() + offset, static_cast<int>(romimage::kBlockSize));
    ++blocksDone;
    ShowProgress(blocksDone - 1);
    silenceMs = 0;
    return;
  }
  Complete();
}

void UpgradeDialog::Complete() {
  ++blocksDone;
  ShowProgress(blockCount);
  SetItemText(ui::kIdCancel, "Close");
  ShowItem(IDC_UPGRADE_NOTICE, true);
  port.SendCommand(comm::CMD_STOP);
  KillTimer(kTransferTimer);
  Repaint();
}

void UpgradeDialog::ShowProgress(std::uint32_t k) {
  SetProgress(IDC_PROGRESS, static_cast<int>(k * 100u / blockCount));
  SetItemText(IDC_PROGRESS_TEXT, std::to_string(k) + "/" + std::to_string(blockCount) + " blocks");
  Repaint();
}

void UpgradeDialog::ShowVersionMismatch(int fileVariant, int reportedVariant) {
  ShowMessage(VersionMismatchText(fileVariant, reportedVariant), ui::kProgramTitle);
}

void UpgradeDialog::OnCancel() {
  KillTimer(kTransferTimer);
  EndDialog(ui::kIdCancel);
}

void UpgradeDialog::Fail(const std::string& message) {
  port.SendCommand(comm::CMD_STOP);
  OnCancel();
  ShowMessage(message, ui::kProgramTitle);
}

}  // namespace transfer
