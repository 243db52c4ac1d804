#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "romimage/file_replace.h"

namespace romimage {

bool ReplaceAtomically(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    return false;
  }
  // The new name is on the disk only once its folder is.
  const std::filesystem::path folder = to.has_parent_path() ? to.parent_path() : ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  return true;
}

}  // namespace romimage
