#include "cli/flash_reader.h"

#include <filesystem>
#include <random>
#include <system_error>

#include "romimage/file_system.h"
#include "romimage/image_file_reader.h"
#include "romimage/receiver_variant_table.h"
#include "romimage/rom_image_file.h"
#include "transfer/read_software_dialog.h"

namespace cli {

namespace {

// A name no other read uses: the port, and a random number against other processes.
std::filesystem::path ScratchPath(const std::string& label) {
  static thread_local std::mt19937 random{std::random_device{}()};
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
  for (;;) {
    std::filesystem::path path = folder / romimage::Utf8Path("vesker-link-" + label + "-" +
                                                             std::to_string(random()) + ".bin");
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
      return path;
    }
  }
}

// Removes the scratch file when the read is over, however it ended.
class ScratchFile {
 public:
  explicit ScratchFile(std::filesystem::path path) : path_(std::move(path)) {}
  ~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  std::string Utf8() const { return romimage::PathUtf8(path_); }

 private:
  std::filesystem::path path_;
};

}  // namespace

FlashReader::FlashReader(ui::ConsoleHost& host, EventReporter& reporter, std::int32_t portIndex,
                         int baud, std::string label)
    : host_(host),
      reporter_(reporter),
      portIndex_(portIndex),
      baud_(baud),
      label_(std::move(label)) {}

FlashCopy FlashReader::Read() {
  FlashCopy copy;
  const ScratchFile scratch(ScratchPath(label_));
  host_.AnswerFileDialog(scratch.Utf8());
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
  if (romimage::ReadImageFile(scratch.Utf8(), file) != romimage::ReadResult::kRead ||
      romimage::CheckImageFile(file.data(), file.size(), variant) !=
          romimage::ImageCheck::kAccepted ||
      variant != copy.outcome.receiverVariant) {
    copy.outcome.ending = comm::Outcome::Ending::kFileNotWritten;
    copy.outcome.message = "cannot read back " + scratch.Utf8();
    reporter_.Message(copy.outcome.message);
    return copy;
  }
  copy.variant = variant;
  copy.data.assign(file.begin() + romimage::kTagSize, file.end());
  return copy;
}

}  // namespace cli
