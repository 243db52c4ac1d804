#include "cli/transfers/flash_reader.h"

#include <cstring>

#include "cli/transfers/scratch_file.h"
#include "romimage/image_file_reader.h"
#include "romimage/receiver_variant_table.h"
#include "romimage/rom_image_file.h"
#include "transfer/read_software_dialog.h"

namespace cli {

const std::uint8_t* BlockOf(const std::vector<std::uint8_t>& flash, std::uint32_t k) {
  const std::size_t offset = std::size_t{k} * romimage::kBlockSize;
  return flash.size() >= offset + romimage::kBlockSize ? flash.data() + offset : nullptr;
}

bool SameBlock(const std::uint8_t* a, const std::uint8_t* b) {
  return a != nullptr && b != nullptr && std::memcmp(a, b, romimage::kBlockSize) == 0;
}

FlashReader::FlashReader(ui::ConsoleHost& host, EventReporter& reporter, std::int32_t portIndex,
                         int baud, std::string label)
    : host_(host),
      reporter_(reporter),
      portIndex_(portIndex),
      baud_(baud),
      label_(std::move(label)) {}

FlashCopy FlashReader::Read(int expectedKind) {
  FlashCopy copy;
  if (ui::ConsoleHost::CancelRequested()) {
    return copy;  // cancelled before the receiver heard of it
  }
  const ScratchFile scratch(label_);
  host_.AnswerFileDialog(scratch.Path());
  {
    transfer::ReadSoftwareDialog dialog(portIndex_, baud_);
    dialog.SetProgressListener(&reporter_);
    dialog.ExpectKind(expectedKind);
    dialog.StopOnCancel(true);
    dialog.DoModal();
    copy.outcome = dialog.Outcome();
  }
  if (copy.outcome.ending == comm::Outcome::Ending::kVersionMismatch) {
    copy.variant = copy.outcome.receiverVariant;
  }
  if (!copy.outcome.Done()) {
    return copy;
  }
  std::vector<std::uint8_t> file;
  int variant = -1;
  if (romimage::ReadImageFile(scratch.Path(), file) != romimage::ReadResult::kRead ||
      romimage::CheckImageFile(file.data(), file.size(), variant) !=
          romimage::ImageCheck::kAccepted ||
      variant != copy.outcome.receiverVariant) {
    copy.outcome.ending = comm::Outcome::Ending::kFileNotWritten;
    copy.outcome.message = "cannot read back " + scratch.Path();
    reporter_.Message(copy.outcome.message);
    return copy;
  }
  copy.variant = variant;
  reporter_.Receiver(romimage::ReceiverVariantTable[variant].versionName);
  copy.data.assign(file.begin() + romimage::kTagSize, file.end());
  return copy;
}

}  // namespace cli
