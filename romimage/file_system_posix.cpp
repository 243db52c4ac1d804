#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "romimage/file_system.h"

namespace romimage {

std::FILE* OpenRegularFile(const std::filesystem::path& path, FileUse use) {
  // A look that opens nothing comes first, since opening a device may act on it.
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    return nullptr;
  }
  const bool write = use == FileUse::kWrite;
  const int fd =
      ::open(path.c_str(),
             (write ? O_WRONLY | O_CREAT : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) {
    return nullptr;
  }
  // The same look at what was opened, in case the name changed hands in between; only then
  // is a file emptied.
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (write && ::ftruncate(fd, 0) != 0) ||
      flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, write ? "wb" : "rb");
  if (file == nullptr) {
    ::close(fd);
  }
  return file;
}

long long FileLength(std::FILE* file) {
  if (::fseeko(file, 0, SEEK_END) != 0) {
    return -1;
  }
  const long long length = ::ftello(file);
  std::rewind(file);
  return length;
}

bool SyncToDisk(std::FILE* file) {
  return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
}

bool ResolveWriteTarget(const std::filesystem::path& path, std::filesystem::path& target) {
  constexpr int kMostLinks = 40;  // as the kernel follows them
  std::filesystem::path current = path;
  for (int links = 0; links <= kMostLinks; ++links) {
    std::error_code error;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(current, error))) {
      target = current;
      // Replacing a file leaves its own permissions out of it; a direct write does not.
      return ::faccessat(AT_FDCWD, current.c_str(), W_OK, AT_EACCESS) == 0 || errno == ENOENT;
    }
    const std::filesystem::path next = std::filesystem::read_symlink(current, error);
    if (error) {
      return false;
    }
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  return false;
}

namespace {

// The new name is on the disk only once its folder is.
void SyncFolderOf(const std::filesystem::path& file) {
  const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

}  // namespace

bool ReplaceAtomically(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    return false;
  }
  SyncFolderOf(to);
  return true;
}

bool PlaceAsNew(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    SyncFolderOf(to);
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return false;  // taken, or refused for a reason of its own
  }
  // A file system that cannot rename without replacing: a second name fails where the name
  // is taken, whatever takes it, and the first then goes.
  if (::link(from.c_str(), to.c_str()) != 0) {
    return false;
  }
  ::unlink(from.c_str());
  SyncFolderOf(to);
  return true;
}

}  // namespace romimage
