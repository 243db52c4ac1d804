#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "link/network_address.h"
#include "link/network_line.h"
#include "link/serial_port.h"
#include "link/tty_speed.h"

namespace comm {

namespace {

constexpr int kWriteWaitMs = 5000;

std::string& PortMapFolder() {
  static std::string folder;
  return folder;
}

// A line keeps whatever its last user set, and a new tty starts with XON/XOFF, CR
// translation, echo and line editing on: any of them loses or changes flash data (0x11,
// 0x13 and 0x0D occur in it), and a stray XOFF stops our own output. So every setting that
// touches the bytes is made here: raw 8N1, no flow control of either kind, no parity or
// break handling, no echo, no translation, reads that return what is there.
bool SetWholeLine(int fd, speed_t speed) {
  termios settings{};
  if (::tcgetattr(fd, &settings) != 0) {
    return false;
  }
  settings.c_iflag = IGNBRK;  // a break is a line condition, not a NUL in the data
  settings.c_oflag = 0;
  settings.c_lflag = 0;
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  settings.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  if (::cfsetispeed(&settings, speed) != 0 || ::cfsetospeed(&settings, speed) != 0 ||
      ::tcsetattr(fd, TCSANOW, &settings) != 0) {
    return false;
  }
  // tcsetattr succeeds when any part of the change took; a driver may refuse the rest.
  termios taken{};
  if (::tcgetattr(fd, &taken) != 0) {
    return false;
  }
  constexpr tcflag_t kInputMustBeOff = IXON | IXOFF | IXANY | ISTRIP | INLCR | IGNCR | ICRNL;
  constexpr tcflag_t kLocalMustBeOff = ICANON | ECHO | ISIG | IEXTEN;
  const bool framed = (taken.c_cflag & CSIZE) == CS8 &&
                      (taken.c_cflag & (PARENB | CSTOPB | CRTSCTS)) == 0 &&
                      ::cfgetospeed(&taken) == speed && ::cfgetispeed(&taken) == speed;
  const bool plain = (taken.c_iflag & kInputMustBeOff) == 0 &&
                     (taken.c_lflag & kLocalMustBeOff) == 0 && (taken.c_oflag & OPOST) == 0;
  if (framed && plain) {
    // DTR and RTS asserted, as a receiver that looks at them expects; a pty has neither.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &lines);
  }
  return framed && plain;
}

// What an errno from opening a device means to a user.
PortFailure FailureOf(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return PortFailure::kNotPermitted;
    case EBUSY:
    case EWOULDBLOCK:
      return PortFailure::kBusy;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return PortFailure::kMissing;
    default:
      return PortFailure::kOther;
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

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
  Close();
}

int SerialPort::Open(int port, int baud) {
  if (open_) {
    Close();
  }
  Fail(PortFailure::kNone, std::string());
  const std::string path = DevicePath(port);
  if (IsNetworkPortName(path)) {
    return OpenNetwork(path, baud);
  }
  const speed_t speed = TtySpeed(baud);
  if (path.empty()) {
    Fail(PortFailure::kMissing, "there is no COM" + std::to_string(port));
    return 0;
  }
  if (speed == B0) {
    Fail(PortFailure::kSettings, std::to_string(baud) + " baud is not a speed a tty takes");
    return 0;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    Fail(FailureOf(error), std::strerror(error));
    return 0;
  }
  // No sharing: a port another program holds cannot be opened (the lock also holds against
  // root, which TIOCEXCL alone does not).
  const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  const bool exclusive = locked && ::ioctl(fd, TIOCEXCL) == 0;
  const int error = errno;
  if (!exclusive || !SetWholeLine(fd, speed)) {
    if (!locked) {
      Fail(PortFailure::kBusy, "another program holds it");
    } else if (!exclusive) {
      Fail(FailureOf(error), std::strerror(error));
    } else {
      Fail(PortFailure::kSettings, "the driver did not take " + std::to_string(baud) + " 8N1");
    }
    if (exclusive) {
      ::ioctl(fd, TIOCNXCL);  // as Close does: the mode would outlive this descriptor
    }
    ::close(fd);
    return 0;
  }
  // A freshly opened Windows port starts empty; so does this one, whatever the device held
  // from before (a receiver still sending after an earlier exchange was cancelled). What the
  // last user sent is still on its way out (an upgrade's CMD_STOP): that goes on.
  ::tcflush(fd, TCIFLUSH);
  fd_ = fd;
  baud_ = baud;
  queue_.Clear();
  open_ = 1;
  return 1;
}

int SerialPort::OpenNetwork(const std::string& name, int baud) {
  NetworkAddress address;
  std::string error;
  if (!ParseNetworkAddress(name, address, error)) {
    Fail(PortFailure::kMissing, error);
    return 0;
  }
  auto line = std::make_unique<NetworkLine>();
  PortFailure failure = PortFailure::kNone;
  if (!line->Open(address, baud, failure, error)) {
    Fail(failure, error);
    return 0;
  }
  network_ = std::move(line);
  baud_ = baud;
  queue_.Clear();
  open_ = 1;
  return 1;
}

void SerialPort::Close() {
  network_.reset();
  if (fd_ >= 0) {
    // The exclusive mode outlives this descriptor while anything else holds the device.
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  fd_ = -1;
  open_ = 0;
  queue_.Clear();
}

void SerialPort::WaitForArrival(std::chrono::milliseconds ms) {
  if (network_) {
    // What arrives goes straight into the queue, as the wait is over once it is there.
    std::size_t room = 0;
    unsigned char* tail = queue_.Tail(room);
    if (room == 0) {
      std::this_thread::sleep_for(ms);
      return;
    }
    queue_.Added(network_->Read(tail, room, ms));
    return;
  }
  pollfd wait{fd_, POLLIN, 0};
  const int ready = ::poll(&wait, 1, static_cast<int>(ms.count()));
  // A line that is gone (a pulled adapter) answers every poll at once: wait out the time
  // instead of asking again and again.
  if (ready > 0 && (wait.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
    std::this_thread::sleep_for(ms);
  }
}

int SerialPort::SystemCount() {
  if (network_) {
    return 0;  // a connection tells no count; what came is drained into the queue
  }
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
    if (network_) {
      const std::size_t got = network_->Read(tail, room, std::chrono::milliseconds(0));
      if (got == 0) {
        return;
      }
      queue_.Added(got);
      continue;
    }
    const ssize_t n = ::read(fd_, tail, room);
    if (n <= 0) {
      return;  // nothing more now, or the line is gone (EIO after a hang-up)
    }
    queue_.Added(static_cast<std::size_t>(n));
  }
}

int SerialPort::Write(const void* data, int count) {
  if (!open_ || data == nullptr || count <= 0) {
    return 0;
  }
  if (network_) {
    return static_cast<int>(network_->Write(static_cast<const unsigned char*>(data),
                                            static_cast<std::size_t>(count),
                                            std::chrono::milliseconds(kWriteWaitMs)));
  }
  if (fd_ < 0) {
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
  if (network_) {
    return 1;  // bytes cross a connection as they are
  }
  if (!open_ || fd_ < 0) {
    return 0;
  }
  termios settings{};
  if (::tcgetattr(fd_, &settings) != 0) {
    return 0;
  }
  // A tty's nearest to a binary flag is its input translation, which Open has already
  // switched off; only that is touched, and the rest of the line stays as Open set it. (Like
  // Windows' drivers, a tty here has no non-binary mode to switch to.)
  if (binary) {
    settings.c_iflag &= ~static_cast<tcflag_t>(ISTRIP | INLCR | IGNCR | ICRNL);
  }
  return ::tcsetattr(fd_, TCSANOW, &settings) == 0 ? 1 : 0;
}

}  // namespace comm
