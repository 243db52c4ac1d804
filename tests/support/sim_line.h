// Real pseudo-terminals standing in for COM ports: a bare pty pair for the serial port's
// own tests, and a simulated receiver behind COMn for everything that talks to one.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_port.h"
#include "sim/pty_runner.h"
#include "tests/support/test_files.h"

namespace vltest {

// A folder of comN links that SerialPort uses while this object lives.
class PortMap {
 public:
  PortMap() { comm::SerialPort::SetPortMapFolder(dir_.Path().string()); }
  ~PortMap() { comm::SerialPort::SetPortMapFolder(std::string()); }
  PortMap(const PortMap&) = delete;
  PortMap& operator=(const PortMap&) = delete;

  std::string LinkPath(int port) const { return dir_ / ("com" + std::to_string(port)); }
  void Map(int port, const std::string& device) const {
    ::unlink(LinkPath(port).c_str());
    (void)::symlink(device.c_str(), LinkPath(port).c_str());
  }

 private:
  TempDir dir_;
};

// A pty whose other end the test holds: bytes written here arrive at the port, bytes the port
// writes are read here.
class BarePty {
 public:
  BarePty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ::grantpt(master_);
    ::unlockpt(master_);
    path_ = ::ptsname(master_);
    // Raw from the start, as a serial line is.
    slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    sim::SetLineState(slave_, sim::LineState::kRaw);
  }
  ~BarePty() {
    ::close(slave_);
    if (master_ >= 0) {
      ::close(master_);
    }
  }
  BarePty(const BarePty&) = delete;
  BarePty& operator=(const BarePty&) = delete;

  const std::string& Path() const { return path_; }

  void Send(const std::string& bytes) const {
    std::size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sent < bytes.size() && std::chrono::steady_clock::now() < deadline) {
      const ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else {
        pollfd wait{master_, POLLOUT, 0};
        ::poll(&wait, 1, 10);
      }
    }
  }

  // Waits (boundedly) until at least n bytes sent here wait at the port's end of the line, so
  // that the port's next look finds them. A tty holds at most 4095.
  bool Delivered(std::size_t n) const {
    for (int i = 0; i < 5000; ++i) {
      int waiting = 0;
      if (::ioctl(slave_, FIONREAD, &waiting) == 0 && static_cast<std::size_t>(waiting) >= n) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
  }

  // The line goes dead, as when an adapter is pulled out: the port's end stays open.
  void HangUp() {
    ::close(master_);
    master_ = -1;
  }

  // The settings of the port's end of the line.
  termios Settings() const {
    termios settings{};
    ::tcgetattr(slave_, &settings);
    return settings;
  }

  // Everything the port wrote that arrives within the given time (0: what is there now).
  std::string Received(int waitMs = 200) const {
    std::string bytes;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
      pollfd wait{master_, POLLIN, 0};
      if (::poll(&wait, 1, waitMs == 0 ? 0 : 10) > 0) {
        const ssize_t n = ::read(master_, buffer, sizeof(buffer));
        if (n > 0) {
          bytes.append(buffer, static_cast<std::size_t>(n));
          continue;
        }
      }
      if (waitMs == 0 || std::chrono::steady_clock::now() >= deadline) {
        return bytes;
      }
    }
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// A simulated receiver running on its own thread behind COM<port>.
class SimulatedReceiver {
 public:
  explicit SimulatedReceiver(const PortMap& ports, int port = 1, sim::ReceiverOptions options = {},
                             sim::LineOptions line = {})
      : model_(std::move(options)), runner_(model_, 0, std::move(line)) {
    std::string error;
    if (runner_.Open(error) && runner_.LinkAs(ports.LinkPath(port), error)) {
      runner_.Start();
    }
  }
  ~SimulatedReceiver() { runner_.Stop(); }

  // After a hang-up, come back on a new line after this long.
  void ReturnAfter(unsigned milliseconds) { runner_.ReturnAfter(milliseconds); }
  int HangUps() const { return runner_.HangUps(); }
  // Waits (boundedly) until the receiver is back on a new line after a hang-up.
  bool WaitForReturn() const {
    for (int i = 0; i < 500 && runner_.Returns() < runner_.HangUps(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return runner_.Returns() >= runner_.HangUps();
  }

  // Names of the frames received so far, after the line has been quiet for a moment.
  std::vector<std::string> FrameNames(int settleMs = 100) {
    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    std::vector<std::string> names;
    for (const sim::LoggedFrame& frame : runner_.Frames()) {
      names.push_back(frame.frame.name);
    }
    return names;
  }
  std::vector<sim::LoggedFrame> Frames() const { return runner_.Frames(); }
  // The settings of the program's end of the line.
  termios ProgramEnd() const {
    termios settings{};
    runner_.ProgramEnd(settings);
    return settings;
  }
  const sim::Bytes& Flash() const { return model_.Flash(); }
  // The flash once the receiver has stopped (after an upgrade has written into it).
  const sim::Bytes& FlashWhenStopped() {
    runner_.Stop();
    return model_.Flash();
  }

  // Lets the receiver take what the port just wrote and send what is due now (bounded);
  // returns how long until it sends something it holds back, or 0 when it holds nothing.
  std::chrono::milliseconds Settle() {
    using namespace std::chrono;
    std::this_thread::sleep_for(milliseconds(2));
    for (int i = 0; i < 5000; ++i) {
      const auto next = runner_.NextRelease();
      if (!next) {
        return milliseconds(0);
      }
      const auto now = steady_clock::now();
      if (*next > now + milliseconds(2)) {
        return duration_cast<milliseconds>(*next - now);
      }
      std::this_thread::sleep_for(milliseconds(1));
    }
    return milliseconds(0);
  }

 private:
  sim::ReceiverModel model_;
  sim::PtyRunner runner_;
};

}  // namespace vltest
