#include "sim/pty.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {

bool SetLineState(int fd, LineState state) {
  termios settings{};
  if (::tcgetattr(fd, &settings) != 0) {
    return false;
  }
  switch (state) {
    case LineState::kNew:
      return true;  // a fresh pty has the kernel's defaults, as a new adapter does
    case LineState::kRaw:
      ::cfmakeraw(&settings);
      ::cfsetspeed(&settings, B115200);
      break;
    case LineState::kLeft:
      ::cfmakeraw(&settings);
      settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
      settings.c_cflag |= CS7 | PARENB | CSTOPB | CRTSCTS;
      settings.c_iflag |= IXON | IXOFF | ISTRIP | INPCK;
      ::cfsetspeed(&settings, B9600);
      break;
  }
  return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool Pty::Open(LineState state, std::string& error) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    error = std::string("cannot create a pty: ") + std::strerror(errno);
    return false;
  }
  const char* name = ::ptsname(master_);
  if (name == nullptr) {
    error = "no name for the pty";
    return false;
  }
  path_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  // The slave stays open so that the line keeps its settings while the program closes and
  // reopens it; it starts in the state asked for, and only the program changes it.
  if (slave_ < 0 || !SetLineState(slave_, state)) {
    error = std::string("cannot open ") + name + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void Pty::Close() {
  if (slave_ >= 0) {
    ::close(slave_);
  }
  if (master_ >= 0) {
    ::close(master_);
  }
  slave_ = master_ = -1;
}

bool Pty::ProgramEnd(termios& settings) const {
  return master_ >= 0 && ::tcgetattr(master_, &settings) == 0;
}

bool Pty::LinkAs(const std::string& linkPath, std::string& error) {
  linkPath_ = linkPath;
  const std::string temporary = linkPath + ".new";
  ::unlink(temporary.c_str());
  if (::symlink(path_.c_str(), temporary.c_str()) != 0 ||
      ::rename(temporary.c_str(), linkPath.c_str()) != 0) {
    error = "cannot link " + linkPath + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool Pty::Relink(std::string& error) {
  return linkPath_.empty() || LinkAs(linkPath_, error);
}

void Pty::Unlink() const {
  if (!linkPath_.empty()) {
    ::unlink(linkPath_.c_str());
  }
}

}  // namespace sim
