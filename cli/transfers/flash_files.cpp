#include "cli/transfers/flash_files.h"

#include <ctime>
#include <filesystem>
#include <system_error>

#include "cli/console/terminal.h"
#include "romimage/file_system.h"
#include "romimage/receiver_variant_table.h"

namespace cli {

namespace {

std::string TagName(int variant) {
  // "VESKER_SZ_RomFtaAMD1" names itself well enough without its common head.
  return std::string(romimage::ReceiverVariantTable[variant].imageTag + 10, 10);
}

// Taken, even by a link that leads nowhere.
bool Exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(
      std::filesystem::symlink_status(romimage::Utf8Path(path), ignored));
}

}  // namespace

std::string TimeStamp() {
  const std::tm local = LocalTime(std::time(nullptr));
  char text[32];
  std::strftime(text, sizeof(text), "%Y%m%d-%H%M%S", &local);
  return text;
}

std::string FlashFileName(int variant, const std::string& port, const std::string& timeStamp) {
  return TagName(variant) + "-" + (port.empty() ? "" : port + "-") + timeStamp + ".bin";
}

std::string BackupFileName(int variant, const std::string& port, const std::string& timeStamp) {
  return "backup-" + FlashFileName(variant, port, timeStamp);
}

std::string InFolderOf(const std::string& file, const std::string& name) {
  const std::filesystem::path folder = romimage::Utf8Path(file).parent_path();
  return romimage::PathUtf8(folder.empty() ? romimage::Utf8Path(name)
                                           : folder / romimage::Utf8Path(name));
}

WrittenFile WriteUnderFreeName(const std::string& stamp,
                               const std::function<std::string(const std::string&)>& name,
                               int variant, const std::uint8_t* flash) {
  constexpr int kTries = 1000;
  for (int n = 1; n <= kTries; ++n) {
    WrittenFile file;
    file.path = name(n == 1 ? stamp : stamp + "-" + std::to_string(n));
    if (Exists(file.path)) {
      continue;
    }
    file.result =
        romimage::WriteImageFile(file.path, variant, flash, romimage::ExistingFile::kKeep);
    if (file.result == romimage::WriteResult::kWritten || !Exists(file.path)) {
      return file;
    }
  }
  return WrittenFile{name(stamp), romimage::WriteResult::kCreateFailed};
}

}  // namespace cli
