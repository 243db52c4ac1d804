#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "cli/log_file.h"

namespace cli {

namespace {

// The log opened for appending; closed (and so unlocked) when this goes.
class AppendHandle {
 public:
  explicit AppendHandle(const std::string& path) {
    // Not blocking on a FIFO without a reader; a device is never made our terminal.
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                 0666);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      error_ = errno;
    }
  }
  ~AppendHandle() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  AppendHandle(const AppendHandle&) = delete;
  AppendHandle& operator=(const AppendHandle&) = delete;

  int Fd() const { return error_ == 0 ? fd_ : -1; }
  int Error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

std::string Reason(int error) {
  return std::generic_category().message(error);
}

}  // namespace

bool LogFile::Check(std::string& error) const {
  const AppendHandle file(path_);
  if (file.Fd() < 0) {
    error = Reason(file.Error());
    return false;
  }
  return true;
}

bool LogFile::Append(const std::string& line, std::string& error) const {
  const AppendHandle file(path_);
  if (file.Fd() < 0) {
    error = Reason(file.Error());
    return false;
  }
  int locked = 0;
  do {
    locked = ::flock(file.Fd(), LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    error = Reason(errno);
    return false;
  }
  const std::string whole = line + "\n";
  // One write carries the line; only a full disk or a signal makes it take less, and the
  // rest then follows under the same lock.
  for (std::size_t done = 0; done < whole.size();) {
    const ssize_t n = ::write(file.Fd(), whole.data() + done, whole.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      error = n < 0 ? Reason(errno) : "nothing written";
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace cli
