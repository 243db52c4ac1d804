#include "transfer/read_software_dialog.h"

#include <new>
#include <string>

#include "link/frames.h"
#include "res/resource.h"
#include "romimage/receiver_variant_table.h"
#include "romimage/rom_image_file.h"

namespace transfer {

namespace {
using Ending = comm::Outcome::Ending;
constexpr int kReplyTimer = 1;
constexpr int kBlockTimer = 2;
constexpr unsigned kTickMs = 50;
constexpr std::uint32_t kGiveUpMs = 3000;
}  // namespace

ReadSoftwareDialog::ReadSoftwareDialog(std::int32_t portIndex, int baud)
    : ProcedureDialog(IDD_READ_SOFTWARE), portIndex_(portIndex), baud_(baud) {}

bool ReadSoftwareDialog::OnInitDialog() {
  ui::FileDialogRequest request;
  request.title = "save as rom(*.bin) file";
  request.filter = "rom image file(*.bin)|*.bin||";
  request.initialName = "rom.bin";
  request.defaultExtension = "";  // "myrom" is saved as "myrom.bin", the filter's extension
  request.overwritePrompt = true;
  if (!AskSaveFileName(request, targetPath)) {
    Close();
    return false;
  }
  ShowNoProgressYet();
  if (!StartRead()) {
    Close();
    return false;
  }
  return true;
}

// An exception inside fails the start, as a port that cannot be opened does.
bool ReadSoftwareDialog::StartRead() try {
  if (!OpenReceiverPort(port, portIndex_, baud_)) {
    return false;
  }
  port.SendCommand(comm::CMD_READ_START);
  SetTimer(kReplyTimer, kTickMs);
  running_ = true;
  return true;
} catch (...) {
  return false;
}

void ReadSoftwareDialog::OnTimer(int id) {
  if (id == kReplyTimer) {
    OnReplyTick();
  } else if (id == kBlockTimer) {
    OnBlockTick();
  }
}

bool ReadSoftwareDialog::AwaitTick(int id, std::chrono::steady_clock::time_point until) {
  std::size_t wanted = id == kReplyTimer ? comm::kFrameSize : romimage::kBlockSize;
  if (id == kBlockTimer && blockCount != 0 && blocksDone == blockCount) {
    wanted = 1;  // out of step at once; in step only after a whole tick
  }
  return port.WaitForInput(static_cast<int>(wanted), until);
}

void ReadSoftwareDialog::OnReplyTick() {
  if (port.InQueueCount() < static_cast<int>(comm::kFrameSize)) {
    replyWaitMs += kTickMs;
    if (replyWaitMs >= kGiveUpMs) {
      Fail(Ending::kNoAnswer, "no answer2！");
    }
    return;
  }
  KillTimer(kReplyTimer);
  // Exactly the frame: whatever follows it on the line is the start of block 0.
  comm::Frame reply{};
  port.Read(reply.data(), static_cast<int>(reply.size()));
  const int match = romimage::MatchVariantReport(reply.data());
  if (match < 0) {
    Fail(Ending::kNoAnswer, "no answer1！");
    return;
  }
  variant = static_cast<std::uint32_t>(match);
  blockCount = romimage::ReceiverVariantTable[match].blockCount;
  outcome_.receiverVariant = match;
  if (expectedKind_ >= 0 && match != expectedKind_) {
    Fail(Ending::kVersionMismatch, "");
    return;
  }
  outcome_.blockCount = blockCount;
  image.reset(new (std::nothrow) std::uint8_t[blockCount * romimage::kBlockSize]);
  if (!image) {
    Fail(Ending::kNoMemory, "alloc memory error！");
    return;
  }
  SetTimer(kBlockTimer, kTickMs);
}

void ReadSoftwareDialog::OnBlockTick() {
  if (blocksDone == blockCount) {
    FinishRead();
    return;
  }
  if (port.InQueueCount() < static_cast<int>(romimage::kBlockSize)) {
    blockWaitMs += kTickMs;
    if (blockWaitMs >= kGiveUpMs) {
      Fail(Ending::kNoAnswer, "no answer！");
    }
    return;
  }
  // One block a tick; anything queued beyond it waits for the next tick.
  port.Read(image.get() + static_cast<std::size_t>(blocksDone) * romimage::kBlockSize,
            static_cast<int>(romimage::kBlockSize));
  ++blocksDone;
  if (blocksDone == blockCount) {
    // The last block's echo waits for the next tick, which decides whether the read was in
    // step; the progress shows the block now.
    ShowProgress(blocksDone, blockCount);
    return;
  }
  port.SendCommand(static_cast<std::uint8_t>(variant + 1), comm::VARIANT_REPORT);
  ShowProgress(blocksDone, blockCount);
  blockWaitMs = 0;
}

void ReadSoftwareDialog::FinishRead() {
  KillTimer(kReplyTimer);
  KillTimer(kBlockTimer);
  // A receiver in step has sent nothing beyond its last block. Bytes queued by now (a tick
  // after that block was taken, so its own tail has arrived) mean the blocks were taken out
  // of step, something extra having come before them: the image would be shifted, and a
  // wrong file is worse than none. This is decided before the echo and CMD_READ_DONE go
  // out, so whatever the receiver does after those cannot change the outcome.
  if (port.InQueueCount() > 0) {
    Fail(Ending::kNoAnswer, "no answer1！");
    return;
  }
  port.SendCommand(static_cast<std::uint8_t>(variant + 1), comm::VARIANT_REPORT);
  port.SendCommand(comm::CMD_READ_DONE);
  WriteImageFile();
  Close();
}

void ReadSoftwareDialog::WriteImageFile() {
  const romimage::WriteResult written =
      romimage::WriteImageFile(targetPath, static_cast<int>(variant), image.get());
  if (written == romimage::WriteResult::kWritten) {
    outcome_.ending = Ending::kDone;
    return;
  }
  Report(Ending::kFileNotWritten,
         romimage::WriteFailureMessage(written, static_cast<int>(variant)));
}

void ReadSoftwareDialog::OnCancel() {
  if (running_ && StopsOnCancel()) {
    port.SendCommand(comm::CMD_STOP);
  }
  Close();
}

void ReadSoftwareDialog::Close() {
  running_ = false;
  KillTimer(kReplyTimer);
  KillTimer(kBlockTimer);
  EndDialog(ui::kIdCancel);
}

void ReadSoftwareDialog::Fail(Ending ending, const char* message) {
  port.SendCommand(comm::CMD_STOP);
  Close();
  Report(ending, message);
}

}  // namespace transfer
