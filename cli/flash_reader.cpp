#include "cli/flash_reader.h"

#include "cli/scratch_file.h"
#include "romimage/image_file_reader.h"
#include "romimage/receiver_variant_table.h"
#include "romimage/rom_image_file.h"
#include "transfer/read_software_dialog.h"

namespace cli {

FlashReader::FlashReader(ui::ConsoleHost& host, EventReporter& reporter, std::int32_t portIndex,
                         int baud, std::string label)
    : host_(host),
      reporter_(reporter),
      portIndex_(portIndex),
      baud_(baud),
      label_(std::move(label)) {}

FlashCopy FlashReader::Read() {
  FlashCopy copy;
  const ScratchFile scratch(label_);
  host_.AnswerFileDialog(scratch.Path());
  {
    transfer::ReadSoftwareDialog dialog(portIndex_, baud_);
    dialog.SetProgressListener(&reporter_);
    dialog.DoModal();
    copy.outcome = dialog.Outcome();
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
