// What the system can run out of, for real: room on the disk, memory, and a file that shrinks
// while it is read.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

namespace vltest {

// The disk fills up after the given number of bytes of a file (a file size limit stands in for
// it). Only regular files are limited: the lines keep working.
class FullDisk {
 public:
  explicit FullDisk(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FullDisk() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_);
  }
  FullDisk(const FullDisk&) = delete;
  FullDisk& operator=(const FullDisk&) = delete;

 private:
  rlimit saved_{};
  void (*previous_)(int);
};

// Memory runs out: the process may map only this much more than it has now, far less than a
// ROM image needs and enough for everything else a dialog does.
class ScarceMemory {
 public:
  explicit ScarceMemory(rlim_t more = 512 * 1024) {
    getrlimit(RLIMIT_AS, &saved_);
    std::ifstream status("/proc/self/status");
    std::string word;
    rlim_t kilobytes = 0;
    while (status >> word) {
      if (word == "VmSize:") {
        status >> kilobytes;
      }
    }
    rlimit limit = saved_;
    limit.rlim_cur = kilobytes * 1024 + more;
    setrlimit(RLIMIT_AS, &limit);
  }
  ~ScarceMemory() { setrlimit(RLIMIT_AS, &saved_); }
  ScarceMemory(const ScarceMemory&) = delete;
  ScarceMemory& operator=(const ScarceMemory&) = delete;

 private:
  rlimit saved_{};
};

// Another program cuts the file short at the moment it is first read, after its length has
// been taken. Needs the right to watch the file system (root); Armed() tells.
class ShrinksWhenRead {
 public:
  ShrinksWhenRead(const std::string& path, off_t to) : path_(path), to_(to) {
    fd_ = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_LARGEFILE);
    if (fd_ >= 0 &&
        fanotify_mark(fd_, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, path.c_str()) != 0) {
      close(fd_);
      fd_ = -1;
    }
    if (fd_ >= 0) {
      thread_ = std::thread([this] { Watch(); });
    }
  }
  ~ShrinksWhenRead() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  ShrinksWhenRead(const ShrinksWhenRead&) = delete;
  ShrinksWhenRead& operator=(const ShrinksWhenRead&) = delete;

  bool Armed() const { return fd_ >= 0; }

 private:
  void Watch() {
    bool cut = false;
    while (!stop_) {
      pollfd wait{fd_, POLLIN, 0};
      if (poll(&wait, 1, 20) <= 0) {
        continue;
      }
      alignas(fanotify_event_metadata) char buffer[4096];
      const ssize_t length = read(fd_, buffer, sizeof(buffer));
      auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
      for (ssize_t left = length; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
        if (!cut) {
          cut = truncate(path_.c_str(), to_) == 0;
        }
        fanotify_response allow{event->fd, FAN_ALLOW};
        (void)write(fd_, &allow, sizeof(allow));
        close(event->fd);
      }
    }
  }

  std::string path_;
  off_t to_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace vltest
