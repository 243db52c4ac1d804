#include "transfer/upgrade_dialog.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "link/frames.h"
#include "res/resource.h"
#include "romimage/image_file_reader.h"
#include "romimage/receiver_variant_table.h"
#include "romimage/rom_image_file.h"

namespace transfer {

namespace {

using Ending = comm::Outcome::Ending;
constexpr int kTransferTimer = 1;
constexpr unsigned kTickMs = 50;
constexpr std::uint32_t kGiveUpMs = 3000;

}  // namespace

std::string VersionMismatchText(int fileVariant, int reportedVariant) {
  return std::string("software version incorrect！\r\n") +
         "pls send below information to your provider！\r\n" + "\r\n" + "\"error version <" +
         romimage::ReceiverVariantTable[fileVariant].versionName + "> to <" +
         romimage::ReceiverVariantTable[reportedVariant].versionName + ">\"";
}

bool LoadImageFile(const std::string& path, std::vector<std::uint8_t>& image, int& variant,
                   comm::Outcome& failure) {
  failure.ending = Ending::kBadRomFile;
  switch (romimage::ReadImageFile(path, image)) {
    case romimage::ReadResult::kRead:
      break;
    case romimage::ReadResult::kOpenFailed:
      failure.message = "Open file<" + path + "> error！";
      return false;
    case romimage::ReadResult::kBadLength:
      failure.message = "file size error！";
      return false;
    case romimage::ReadResult::kNoMemory:
      failure.ending = Ending::kNoMemory;
      failure.message.clear();  // as ever, a failed allocation says nothing of its own
      return false;
    case romimage::ReadResult::kReadShort:
      failure.message = "read file data error！";
      return false;
  }
  switch (romimage::CheckImageFile(image.data(), image.size(), variant)) {
    case romimage::ImageCheck::kAccepted:
      return true;
    case romimage::ImageCheck::kBadLength:
      // A 1 MiB file whose tag names a 2 MiB receiver: half its blocks would be missing.
      failure.message = "file size error！";
      return false;
    case romimage::ImageCheck::kBadTag:
      failure.message = "file data error！";
      return false;
  }
  return false;
}

UpgradeDialog::UpgradeDialog(std::string path, std::int32_t portIndex, int baud)
    : ProcedureDialog(IDD_UPGRADE), portIndex_(portIndex), baud_(baud), romPath(std::move(path)) {}

bool UpgradeDialog::OnInitDialog() {
  ShowNoProgressYet();
  if (!LoadRomImage()) {
    Close();
    return false;
  }
  return true;
}

// An exception inside either step fails it, as a bad file or a closed port does.
int UpgradeDialog::LoadRomImage() try {
  int match = -1;
  comm::Outcome failure;
  if (!LoadImageFile(romPath, image, match, failure)) {
    Report(failure.ending, failure.message);
    return 0;
  }
  variant = match;
  blockCount = romimage::ReceiverVariantTable[match].blockCount;
  outcome_.fileVariant = match;
  outcome_.blockCount = blockCount;
  return StartTransfer();
} catch (...) {
  return 0;
}

int UpgradeDialog::StartTransfer() try {
  if (!OpenReceiverPort(port, portIndex_, baud_)) {
    return 0;
  }
  port.SendCommand(comm::CMD_UPGRADE_START);
  SetTimer(kTransferTimer, kTickMs);
  running_ = true;
  return 1;
} catch (...) {
  return 0;
}

bool UpgradeDialog::IsAcknowledgement(const std::uint8_t* reply) const {
  const auto& set = romimage::AcknowledgementSet(romimage::ReplyFamilyOf(variant));
  return std::any_of(set.begin(), set.end(), [reply](const comm::Frame& frame) {
    return std::memcmp(reply, frame.data(), frame.size()) == 0;
  });
}

bool UpgradeDialog::AwaitTick(int id, std::chrono::steady_clock::time_point until) {
  if (id != kTransferTimer) {
    return ProcedureDialog::AwaitTick(id, until);
  }
  return port.WaitForInput(static_cast<int>(comm::kFrameSize), until);
}

void UpgradeDialog::OnTimer(int id) {
  if (id != kTransferTimer) {
    return;
  }
  const int queued = port.InQueueCount();
  if (queued < static_cast<int>(comm::kFrameSize)) {
    silenceMs += kTickMs;
    if (silenceMs >= kGiveUpMs) {
      Fail(Ending::kNoAnswer, "no answer1！");
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
  if (reported >= 0) {
    outcome_.receiverVariant = reported;
  }
  if (reported >= 0 && reported != variant) {
    Fail(Ending::kVersionMismatch, VersionMismatchText(variant, reported));
    return;
  }
  if (reported < 0 && !IsAcknowledgement(reply.data())) {
    const bool ciHci = romimage::ReplyFamilyOf(variant) == romimage::ReplyFamily::kCiHci;
    Fail(Ending::kNoAnswer, ciHci ? "no answer C！" : "no answer F！");
    return;
  }
  if (blocksDone < blockCount) {
    const std::size_t offset = romimage::kTagSize + blocksDone * romimage::kBlockSize;
    port.Write(image.data() + offset, static_cast<int>(romimage::kBlockSize));
    ++blocksDone;
    outcome_.blocksSent = blocksDone;
    ShowProgress(blocksDone - 1, blockCount);
    silenceMs = 0;
    return;
  }
  Complete();
}

void UpgradeDialog::Complete() {
  ++blocksDone;
  ShowProgress(blockCount, blockCount);
  outcome_.ending = Ending::kDone;
  SetItemText(ui::kIdCancel, "Close");
  RepaintItem(ui::kIdCancel);
  ShowItem(IDC_UPGRADE_NOTICE, true);
  RepaintItem(IDC_UPGRADE_NOTICE);
  port.SendCommand(comm::CMD_STOP);
  running_ = false;
  KillTimer(kTransferTimer);
  // The notice covers the bar's place: the whole dialog is drawn again, background included.
  Repaint();
}

void UpgradeDialog::OnCancel() {
  // Where a block would begin, the receiver takes CMD_STOP as the end of the upgrade.
  if (running_ && StopsOnCancel()) {
    port.SendCommand(comm::CMD_STOP);
  }
  Close();
}

void UpgradeDialog::Close() {
  running_ = false;
  KillTimer(kTransferTimer);
  EndDialog(ui::kIdCancel);
}

void UpgradeDialog::Fail(Ending ending, const std::string& message) {
  port.SendCommand(comm::CMD_STOP);
  Close();
  Report(ending, message);
}

}  // namespace transfer
