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
// How far a paced line may run ahead of the clock: about two milliseconds of bytes.
constexpr auto kLookAhead = std::chrono::milliseconds(2);
}  // namespace

PtyRunner::PtyRunner(ReceiverModel& model, unsigned baud)
    : model_(model),
      byteTime_(baud == 0 ? std::chrono::nanoseconds(0)
                          : std::chrono::nanoseconds(10'000'000'000LL / baud)) {}

PtyRunner::~PtyRunner() {
  Stop();
  Close();
}

void PtyRunner::Close() {
  if (slave_ >= 0) {
    ::close(slave_);
  }
  if (master_ >= 0) {
    ::close(master_);
  }
  slave_ = master_ = -1;
}

void PtyRunner::HangUp() {
  Close();
  model_.LineLost();
  outgoing_.clear();
  incoming_.clear();
  ++hangUps_;
  if (returnAfterMs_ > 0) {
    returnAt_ = Clock::now() + std::chrono::milliseconds(returnAfterMs_);
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
  if (start_ == Clock::time_point()) {
    start_ = Clock::now();  // the log's times count from the first line, across returns
  }
  lineFreeAt_ = inFreeAt_ = Clock::now();
  return true;
}

bool PtyRunner::LinkAs(const std::string& linkPath, std::string& error) {
  linkPath_ = linkPath;
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
    outgoing_.push_back(Pending{due, answer.bytes, answer.name, false, answer.hangUpAfter});
  }
}

void PtyRunner::Timeline(Clock::time_point at, const char* what, const std::string& detail) {
  if (timelineFile_ != nullptr) {
    std::fprintf(timelineFile_, "%.3f %s %s\n",
                 std::chrono::duration<double, std::milli>(at - start_).count(), what,
                 detail.c_str());
  }
}

void PtyRunner::Receive(const std::uint8_t* data, std::size_t count) {
  const auto now = Clock::now();
  if (inFreeAt_ <= now) {
    Timeline(now, "rx-start", std::to_string(count));
  }
  if (byteTime_.count() == 0) {
    Take(data, count);
    return;
  }
  // The bytes reach the receiver one after another at the line's pace.
  inFreeAt_ = std::max(inFreeAt_, now) + byteTime_ * static_cast<long long>(count);
  incoming_.push_back(Pending{inFreeAt_, Bytes(data, data + count), std::string(), false, false});
}

void PtyRunner::TakeDue() {
  const auto now = Clock::now();
  while (!incoming_.empty() && incoming_.front().due <= now) {
    const Pending next = std::move(incoming_.front());
    incoming_.pop_front();
    Take(next.bytes.data(), next.bytes.size());
  }
}

int PtyRunner::PollTimeoutMs() const {
  auto next = Clock::now() + std::chrono::milliseconds(50);
  if (!outgoing_.empty()) {
    next = std::min(next, std::max(outgoing_.front().due, lineFreeAt_));
  }
  if (!incoming_.empty()) {
    next = std::min(next, incoming_.front().due);
  }
  const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(next - Clock::now());
  // Round up, so that a wake-up never comes before what it waits for.
  return static_cast<int>(std::clamp<long long>((wait.count() + 999) / 1000, 0, 50));
}

void PtyRunner::SendDue() {
  while (!outgoing_.empty()) {
    const auto now = Clock::now();
    Pending& next = outgoing_.front();
    if (next.due > now || lineFreeAt_ > now) {
      return;
    }
    std::size_t chunk = next.bytes.size();
    if (byteTime_.count() != 0) {
      // An idle line starts sending when the answer is due, not when this loop came round.
      if (!next.started) {
        lineFreeAt_ = std::max(lineFreeAt_, next.due);
        next.started = true;
      }
      // As many bytes as the line carries until a little ahead of now; the kernel's timer
      // granularity would otherwise slow the line down.
      const auto ahead = now + kLookAhead - lineFreeAt_;
      chunk = std::min<std::size_t>(chunk, static_cast<std::size_t>(ahead / byteTime_) + 1);
    }
    const ssize_t n = ::write(master_, next.bytes.data(), chunk);
    if (n <= 0) {
      return;  // the program is not reading: try again on the next turn
    }
    lineFreeAt_ = (byteTime_.count() == 0 ? now : lineFreeAt_) + byteTime_ * n;
    next.bytes.erase(next.bytes.begin(), next.bytes.begin() + n);
    if (next.bytes.empty()) {
      Timeline(lineFreeAt_, "tx-end", next.name);
      const bool hangUp = next.hangUpAfter;
      outgoing_.pop_front();
      if (hangUp) {
        HangUp();
        return;
      }
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
    if (master_ < 0) {
      // Hung up: away until it is time to come back on a new line, if ever.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::string error;
      if (returnAt_ && Clock::now() >= *returnAt_ && Open(error) &&
          (linkPath_.empty() || LinkAs(linkPath_, error))) {
        returnAt_.reset();
      }
      nextRelease_ = 0;
      continue;
    }
    pollfd wait{master_, POLLIN, 0};
    const int ready = ::poll(&wait, 1, PollTimeoutMs());
    if (ready > 0 && (wait.revents & POLLIN) != 0) {
      const ssize_t n = ::read(master_, buffer, sizeof(buffer));
      if (n > 0) {
        Receive(buffer, static_cast<std::size_t>(n));
      }
    }
    TakeDue();
    if (model_.HangUpRequested()) {
      HangUp();
      continue;
    }
    SendDue();
    if (master_ < 0) {
      continue;
    }
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
