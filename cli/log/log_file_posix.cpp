#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <system_error>
#include <thread>
#include <utility>

#include "cli/log/log_file.h"

namespace cli {

namespace {

// How long a line waits for a pipe's reader to take it (or for another writer's lock on
// the pipe) before it counts as not logged: a collector that stops reading must not hold a
// port's run for ever.
constexpr std::chrono::seconds kReaderPatience(5);
constexpr char kNoReader[] = "its reader took nothing for 5 s";
constexpr char kLockHeld[] = "another program held its lock for 5 s";

std::string Reason(int error) {
  return std::generic_category().message(error);
}

// Not blocking on a FIFO without a reader; a device is never made our terminal.
int OpenForAppending(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                0666);
}

// A descriptor closed once, when this goes.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int Get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A log file opened for appending and locked against every other writer; closed (and so
// unlocked) when this goes.
class LockedLog {
 public:
  explicit LockedLog(const std::string& path) : fd_(OpenForAppending(path)) {
    if (fd_.Get() < 0) {
      error_ = errno;
      return;
    }
    // A file's writes wait for the disk; only a pipe's are bounded.
    const int flags = ::fcntl(fd_.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd_.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
      error_ = errno;
      return;
    }
    int locked = 0;
    do {
      locked = ::flock(fd_.Get(), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      error_ = errno;
    }
  }

  int Fd() const { return error_ == 0 ? fd_.Get() : -1; }
  int Error() const { return error_; }

 private:
  Descriptor fd_;
  int error_ = 0;
};

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

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// SIGPIPE held back in this thread while this lives, so that a pipe whose reader has gone
// fails its write with EPIPE instead of ending the program; the signal that write raised is
// taken here, never delivered. The rest of the program keeps the signal's default.
class HeldBackPipeSignal {
 public:
  HeldBackPipeSignal() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    pendingBefore_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
  }
  ~HeldBackPipeSignal() {
    if (raised_ && !pendingBefore_) {
      const timespec now{};
      while (::sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &before_, nullptr);
  }
  HeldBackPipeSignal(const HeldBackPipeSignal&) = delete;
  HeldBackPipeSignal& operator=(const HeldBackPipeSignal&) = delete;

  // A write has failed with EPIPE, and so raised the signal.
  void Raised() { raised_ = true; }

 private:
  sigset_t pipe_{};
  sigset_t before_{};
  bool pendingBefore_ = false;
  bool raised_ = false;
};

}  // namespace

// The one descriptor of a pipe, FIFO or device, kept from the start of the run to its end.
// It stays non-blocking, so that each wait for the reader is bounded.
class LogFile::Stream {
 public:
  explicit Stream(int fd) : fd_(fd) {}

  // line and a line end, whole; empty, or why not.
  std::string Write(const std::string& line) {
    const auto deadline = std::chrono::steady_clock::now() + kReaderPatience;
    std::string error = Lock(deadline);
    if (!error.empty()) {
      return error;
    }
    // A line cut short before (its reader stopped in the middle) is ended first, so this one
    // starts on a line of its own.
    const std::size_t start = cutShort_ ? 1 : 0;
    const std::string text = std::string(start, '\n') + line + "\n";
    // Up to PIPE_BUF bytes go into a pipe in one write, whole or not at all, and no other
    // writer's bytes come between them; a longer line goes in pieces, under the lock.
    std::size_t done = 0;
    int failure = 0;
    {
      HeldBackPipeSignal held;
      while (done < text.size() && failure == 0) {
        const ssize_t n = ::write(fd_.Get(), text.data() + done, text.size() - done);
        if (n > 0) {
          done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EPIPE) {
          held.Raised();
          failure = EPIPE;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
          pollfd room{fd_.Get(), POLLOUT, 0};
          const int left = MillisecondsLeft(deadline);
          if (left == 0 || (::poll(&room, 1, left) < 0 && errno != EINTR)) {
            failure = ETIMEDOUT;
          }
        } else if (n < 0 && errno != EINTR) {
          failure = errno;
        } else if (n == 0) {
          failure = EIO;
        }
      }
    }
    Unlock();
    // Whatever went in decides whether the reader now holds a line without its end.
    if (done > 0) {
      cutShort_ = done > start && done < text.size();
    }
    if (failure == ETIMEDOUT) {
      return kNoReader;
    }
    return failure == 0 ? std::string() : Reason(failure);
  }

  // Whether every other writer's lock gives way in time; empty, or why not.
  std::string CheckLock() {
    std::string error = Lock(std::chrono::steady_clock::now() + kReaderPatience);
    if (error.empty()) {
      Unlock();
    }
    return error;
  }

 private:
  // The lock every vesker-link takes, waited for no longer than a reader is.
  std::string Lock(std::chrono::steady_clock::time_point deadline) const {
    for (;;) {
      if (::flock(fd_.Get(), LOCK_EX | LOCK_NB) == 0) {
        return std::string();
      }
      if (errno != EWOULDBLOCK && errno != EINTR) {
        return Reason(errno);
      }
      if (MillisecondsLeft(deadline) == 0) {
        return kLockHeld;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  void Unlock() const { ::flock(fd_.Get(), LOCK_UN); }

  Descriptor fd_;
  bool cutShort_ = false;
};

LogFile::LogFile(std::string path) : path_(std::move(path)) {}

LogFile::~LogFile() = default;

bool LogFile::Open(std::string& error) const {
  if (opened_) {
    return true;
  }
  Descriptor fd(OpenForAppending(path_));
  struct stat what {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &what) != 0) {
    error = Reason(errno);
    return false;
  }
  if (S_ISFIFO(what.st_mode) || S_ISCHR(what.st_mode)) {
    stream_ = std::make_unique<Stream>(fd.Release());
  } else if (!S_ISREG(what.st_mode)) {
    // A block device would take the line over whatever is at its start.
    error = "not a file, a pipe or a character device";
    return false;
  }
  // A file is opened anew for each line, as every other writer does.
  opened_ = true;
  return true;
}

bool LogFile::Check(std::string& error) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!Open(error)) {
    return false;
  }
  if (stream_) {
    error = stream_->CheckLock();
    return error.empty();
  }
  const LockedLog log(path_);
  if (log.Fd() < 0) {
    error = Reason(log.Error());
    return false;
  }
  return true;
}

bool LogFile::Append(const std::string& line, std::string& error) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!Open(error)) {
    return false;
  }
  if (stream_) {
    error = stream_->Write(line);
    return error.empty();
  }
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
