#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "cli/log/log_file.h"

namespace cli {

namespace {

// The log opened for appending and locked against every other writer; closed (and so
// unlocked) when this goes.
class LockedLog {
 public:
  explicit LockedLog(const std::string& path) {
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
      return;
    }
    int locked = 0;
    do {
      locked = ::flock(fd_, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      error_ = errno;
    }
  }
  ~LockedLog() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  LockedLog(const LockedLog&) = delete;
  LockedLog& operator=(const LockedLog&) = delete;

  int Fd() const { return error_ == 0 ? fd_ : -1; }
  int Error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

std::string Reason(int error) {
  return std::generic_category().message(error);
}

// All of text, in as many writes as it takes; 0, or why not.
int WriteWhole(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return errno;
    }
    if (n == 0) {
      return EIO;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

bool LogFile::Check(std::string& error) const {
  const LockedLog log(path_);
  if (log.Fd() < 0) {
    error = Reason(log.Error());
    return false;
  }
  return true;
}

bool LogFile::Append(const std::string& line, std::string& error) const {
  const LockedLog log(path_);
  if (log.Fd() < 0) {
    error = Reason(log.Error());
    return false;
  }
  struct stat before {};
  if (::fstat(log.Fd(), &before) != 0) {
    error = Reason(errno);
    return false;
  }
  // The line goes through a second descriptor of the same open file, so that its close, where
  // a network file system reports what it could not store, is checked while the lock (held
  // through the first) still keeps every other writer out.
  const int writer = ::fcntl(log.Fd(), F_DUPFD_CLOEXEC, 0);
  if (writer < 0) {
    error = Reason(errno);
    return false;
  }
  int failure = WriteWhole(writer, line + "\n");
  if (failure == 0 && ::fdatasync(writer) != 0) {
    failure = errno;
  }
  // Closed once, whatever it says: a close that fails has still let the descriptor go.
  if (::close(writer) != 0 && failure == 0) {
    failure = errno;
  }
  if (failure == 0) {
    return true;
  }
  // A full disk takes part of a line; the rest of it would glue the next line to it.
  if (::ftruncate(log.Fd(), before.st_size) == 0) {
    ::fdatasync(log.Fd());
  }
  error = Reason(failure);
  return false;
}

}  // namespace cli
