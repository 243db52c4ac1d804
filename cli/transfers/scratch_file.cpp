#include "cli/transfers/scratch_file.h"

#include <random>
#include <system_error>

#include "romimage/file_system.h"

namespace cli {

ScratchFile::ScratchFile(const std::string& label) {
  // The port, and a random number against other processes on a port of the same name.
  static thread_local std::mt19937 random{std::random_device{}()};
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
  do {
    path_ = folder /
            romimage::Utf8Path("vesker-link-" + label + "-" + std::to_string(random()) + ".bin");
  } while (std::filesystem::exists(std::filesystem::symlink_status(path_, error)));
}

ScratchFile::~ScratchFile() {
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

std::string ScratchFile::Path() const {
  return romimage::PathUtf8(path_);
}

}  // namespace cli
