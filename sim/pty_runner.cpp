#include "sim/pty_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

using Clock = std::chrono::steady_clock;

namespace {
// Bytes written to the pty in one go when paced: small enough to keep the pace smooth.
constexpr std::size_t kPacedChunk = 16;
}  // namespace

PtyRunner::PtyRunner(ReceiverModel& model, unsigned baud)
    : model_(model),
      byteTime_(baud == 0 ? std::chrono::nanoseconds(0)
                          : std::chrono::nanoseconds(10'000'000'000LL / baud)) {}

PtyRunner::~PtyRunner() {
  Stop();
  if (slave_ >= 0) {
    ::close(slave_);
  }
  if (master_ >= 0) {
    ::close(master_);
  }
}

bool PtyRunner::Open(std::string& error) {
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
  devicePath_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios settings{};
  if (slave_ < 0 || ::tcgetattr(slave_, &settings) != 0) {
    error = std::string("cannot open ") + name + ": " + std::strerror(errno);
    return false;
  }
  // Raw from the start: no echo and no line editing before the program sets the port up.
  ::cfmakeraw(&settings);
  ::cfsetispeed(&settings, B115200);
  ::cfsetospeed(&settings, B115200);
  ::tcsetattr(slave_, TCSANOW, &settings);
  start_ = lineFreeAt_ = Clock::now();
  return true;
}

bool PtyRunner::LinkAs(const std::string& linkPath, std::string& error) {
  const std::string temporary = linkPath + ".new";
  ::unlink(temporary.c_str());
  if (::symlink(devicePath_.c_str(), temporary.c_str()) != 0 ||
      ::rename(temporary.c_str(), linkPath.c_str()) != 0) {
    error = "cannot link " + linkPath + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

double PtyRunner::ElapsedMs() const {
  return std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
}

std::vector<LoggedFrame> PtyRunner::Frames() const {
  std::lock_guard<std::mutex> lock(logMutex_);
  return frames_;
}

void PtyRunner::Take(const std::uint8_t* data, std::size_t count) {
  std::vector<ReceivedFrame> frames;
  const std::vector<Emission> answers = model_.Receive(data, count, frames);
  const double ms = ElapsedMs();
  {
    std::lock_guard<std::mutex> lock(logMutex_);
    for (const ReceivedFrame& frame : frames) {
      frames_.push_back(LoggedFrame{ms, frame});
      if (logFile_ != nullptr) {
        std::fprintf(logFile_, "%.1f %s %s\n", ms,
                     Hex(frame.bytes.data(), frame.bytes.size()).c_str(), frame.name.c_str());
        std::fflush(logFile_);
      }
    }
  }
  auto due = Clock::now();
  for (const Emission& answer : answers) {
    due += std::chrono::milliseconds(answer.delayMs);
    outgoing_.push_back(Pending{due, answer.bytes});
  }
}

int PtyRunner::PollTimeoutMs() const {
  if (outgoing_.empty()) {
    return 50;
  }
  const auto next = std::max(outgoing_.front().due, lineFreeAt_);
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
  return static_cast<int>(std::clamp<long long>(wait.count(), 0, 50));
}

void PtyRunner::SendDue() {
  while (!outgoing_.empty()) {
    const auto now = Clock::now();
    Pending& next = outgoing_.front();
    if (next.due > now || lineFreeAt_ > now) {
      return;
    }
    const std::size_t chunk =
        byteTime_.count() == 0 ? next.bytes.size() : std::min(kPacedChunk, next.bytes.size());
    const ssize_t n = ::write(master_, next.bytes.data(), chunk);
    if (n <= 0) {
      return;  // the program is not reading: try again on the next turn
    }
    lineFreeAt_ = std::max(lineFreeAt_, now) + byteTime_ * n;
    next.bytes.erase(next.bytes.begin(), next.bytes.begin() + n);
    if (next.bytes.empty()) {
      outgoing_.pop_front();
    }
  }
}

std::optional<Clock::time_point> PtyRunner::NextRelease() const {
  const long long ticks = nextRelease_.load();
  if (ticks == 0) {
    return std::nullopt;
  }
  return Clock::time_point(Clock::duration(ticks));
}

void PtyRunner::Run(const std::atomic<bool>& stop) {
  std::uint8_t buffer[4096];
  while (!stop) {
    pollfd wait{master_, POLLIN, 0};
    const int ready = ::poll(&wait, 1, PollTimeoutMs());
    if (ready > 0 && (wait.revents & POLLIN) != 0) {
      const ssize_t n = ::read(master_, buffer, sizeof(buffer));
      if (n > 0) {
        Take(buffer, static_cast<std::size_t>(n));
      }
    }
    SendDue();
    nextRelease_ = outgoing_.empty()
                       ? 0
                       : std::max(outgoing_.front().due, lineFreeAt_).time_since_epoch().count();
  }
}

void PtyRunner::Start() {
  stop_ = false;
  thread_ = std::thread([this] { Run(stop_); });
}

void PtyRunner::Stop() {
  stop_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
}

}  // namespace sim
