#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "link/serial_port.h"

namespace comm {

namespace {

constexpr int kWriteWaitMs = 5000;

std::string& PortMapFolder() {
  static std::string folder;
  return folder;
}

speed_t Speed(int baud) {
  switch (baud) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B0;
  }
}

}  // namespace

void SerialPort::SetPortMapFolder(const std::string& folder) {
  PortMapFolder() = folder;
}

std::string SerialPort::DevicePath(int port) {
  if (port < 1) {
    return std::string();  // there is no COM0
  }
  if (std::string device = MappedDevice(port); !device.empty()) {
    return device;
  }
  if (!PortMapFolder().empty()) {
    return PortMapFolder() + "/com" + std::to_string(port);
  }
  return "/dev/ttyS" + std::to_string(port - 1);
}

SerialPort::~SerialPort() {
  Close();
}

int SerialPort::Open(int port, int baud) {
  if (open_) {
    Close();
  }
  const std::string path = DevicePath(port);
  const speed_t speed = Speed(baud);
  if (path.empty() || speed == B0) {
    return 0;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return 0;
  }
  // No sharing: a port another program holds cannot be opened (the lock also holds against
  // root, which TIOCEXCL alone does not).
  termios settings{};
  const bool ok = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::ioctl(fd, TIOCEXCL) == 0 &&
                  ::tcgetattr(fd, &settings) == 0;
  if (ok) {
    // Raw 8-bit bytes; no software flow control, since 0x11 and 0x13 occur in the data.
    ::cfmakeraw(&settings);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS8;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, speed);
    ::cfsetospeed(&settings, speed);
  }
  if (!ok || ::tcsetattr(fd, TCSANOW, &settings) != 0) {
    ::close(fd);
    return 0;
  }
  // A freshly opened Windows port starts empty; so does this one, whatever the device held
  // from before (a receiver still sending after an earlier exchange was cancelled).
  ::tcflush(fd, TCIOFLUSH);
  fd_ = fd;
  queue_.Clear();
  open_ = 1;
  return 1;
}

void SerialPort::Close() {
  if (fd_ >= 0) {
    // The exclusive mode outlives this descriptor while anything else holds the device.
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  fd_ = -1;
  open_ = 0;
  queue_.Clear();
}

int SerialPort::SystemCount() {
  int waiting = 0;
  if (::ioctl(fd_, FIONREAD, &waiting) != 0 || waiting < 0) {
    return 0;
  }
  return waiting;
}

void SerialPort::Drain() {
  while (queue_.Room() > 0) {
    std::size_t room = 0;
    unsigned char* tail = queue_.Tail(room);
    const ssize_t n = ::read(fd_, tail, room);
    if (n <= 0) {
      return;  // nothing more now, or the line is gone (EIO after a hang-up)
    }
    queue_.Added(static_cast<std::size_t>(n));
  }
}

int SerialPort::Write(const void* data, int count) {
  if (!open_ || fd_ < 0 || data == nullptr || count <= 0) {
    return 0;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteWaitMs);
  int written = 0;
  while (written < count) {
    const ssize_t n = ::write(fd_, bytes + written, static_cast<std::size_t>(count - written));
    if (n > 0) {
      written += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    pollfd wait{fd_, POLLOUT, 0};
    if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0 ||
        (wait.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      break;
    }
  }
  return written;
}

int SerialPort::SetBinaryMode(bool binary) {
  if (!open_ || fd_ < 0) {
    return 0;
  }
  termios settings{};
  if (::tcgetattr(fd_, &settings) != 0) {
    return 0;
  }
  // A tty has no separate binary flag: raw mode already passes every byte unchanged.
  if (binary) {
    settings.c_iflag &= ~static_cast<tcflag_t>(ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
  }
  return ::tcsetattr(fd_, TCSANOW, &settings) == 0 ? 1 : 0;
}

}  // namespace comm
