#include "sim/pty_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace sim {

using Clock = std::chrono::steady_clock;

namespace {
// How far a paced line may run ahead of the clock: about two milliseconds of bytes.
constexpr auto kLookAhead = std::chrono::milliseconds(2);

// The speed setting of a baud rate (an unpaced line stands for the receiver's 115200).
speed_t LineSpeed(unsigned baud) {
  termios scratch{};
  return ::cfsetspeed(&scratch, baud == 0 ? 115200 : baud) == 0 ? ::cfgetospeed(&scratch) : B0;
}

// Two UARTs that frame bytes differently read each other's bytes as other bytes.
void Misread(std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<std::uint8_t>(~bytes[i]);
  }
}

}  // namespace

BitErrors::BitErrors(double rate, std::uint64_t seed) : rate_(rate), state_(seed) {
  untilNext_ = Gap();
}

std::uint64_t BitErrors::Next() {
  // splitmix64: the same numbers for a seed on every platform
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t BitErrors::Gap() {
  constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
  if (!(rate_ > 0)) {
    return kNever;
  }
  if (rate_ >= 1) {
    return 0;
  }
  // Geometric: the good bits before an error, each bit failing with probability rate_.
  const double u = static_cast<double>((Next() >> 11) + 1) * 0x1.0p-53;  // (0, 1]
  const double gap = std::floor(std::log(u) / std::log1p(-rate_));
  return gap >= 1.8e19 ? kNever : static_cast<std::uint64_t>(gap);
}

void BitErrors::Apply(std::uint8_t* data, std::size_t count) {
  const std::uint64_t bits = static_cast<std::uint64_t>(count) * 8;
  std::uint64_t at = 0;
  while (untilNext_ < bits - at) {
    at += untilNext_;
    data[at / 8] ^= static_cast<std::uint8_t>(1u << (at % 8));
    ++at;
    untilNext_ = Gap();
  }
  untilNext_ -= bits - at;
}

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

PtyRunner::PtyRunner(ReceiverModel& model, unsigned baud, LineOptions line)
    : PtyRunner(std::vector<ReceiverModel*>{&model}, baud, std::move(line)) {}

PtyRunner::PtyRunner(std::vector<ReceiverModel*> boxes, unsigned baud, LineOptions line)
    : boxes_(std::move(boxes)),
      model_(boxes_.empty() ? nullptr : boxes_.front()),
      byteTime_(baud == 0 ? std::chrono::nanoseconds(0)
                          : std::chrono::nanoseconds(10'000'000'000LL / baud)),
      lineSpeed_(LineSpeed(baud)),
      line_(std::move(line)),
      toProgram_(line_.bitErrorRate, line_.noiseSeed),
      // Each way its own generator, so that where errors fall does not depend on timing.
      toReceiver_(line_.bitErrorRate, line_.noiseSeed ^ 0x5DEECE66DULL) {}

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

void PtyRunner::DropLine() {
  Close();
  outgoing_.clear();
  incoming_.clear();
  adapter_.clear();  // a pulled adapter takes what it held with it
  nextPacket_ = 0;
}

bool PtyRunner::NewLine(std::string& error) {
  return Open(error) && (linkPath_.empty() || LinkAs(linkPath_, error));
}

void PtyRunner::HangUp() {
  DropLine();
  if (model_ != nullptr) {
    model_->LineLost();
  }
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
  // The slave stays open so that the line keeps its settings while the program closes and
  // reopens it; it starts in the state asked for, and only the program changes it.
  if (slave_ < 0 || !SetLineState(slave_, line_.state)) {
    error = std::string("cannot open ") + name + ": " + std::strerror(errno);
    return false;
  }
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

bool PtyRunner::ProgramEnd(termios& settings) const {
  return master_ >= 0 && ::tcgetattr(master_, &settings) == 0;
}

bool PtyRunner::EndsAgree() const {
  termios end{};
  if (!ProgramEnd(end)) {
    return true;
  }
  return (end.c_cflag & CSIZE) == CS8 && (end.c_cflag & (PARENB | CSTOPB)) == 0 &&
         ::cfgetospeed(&end) == lineSpeed_;
}

bool PtyRunner::ProgramWaitsForCts() const {
  termios end{};
  return ProgramEnd(end) && (end.c_cflag & CRTSCTS) != 0;
}

std::vector<LoggedFrame> PtyRunner::Frames() const {
  std::lock_guard<std::mutex> lock(logMutex_);
  return frames_;
}

void PtyRunner::Take(const std::uint8_t* data, std::size_t count) {
  if (model_ == nullptr) {
    return;  // no box on the cable
  }
  std::vector<ReceivedFrame> frames;
  const std::vector<Emission> answers = model_->Receive(data, count, frames);
  if (model_->RestartRequested() && !restartEnds_) {
    // It saves and restarts: nothing it was still to send goes out.
    outgoing_.clear();
    incoming_.clear();
    restartEnds_ = restartMs_ == kNever ? Clock::time_point::max()
                                        : Clock::now() + std::chrono::milliseconds(restartMs_);
    if (adapterRestarts_) {
      DropLine();
      if (!linkPath_.empty()) {
        ::unlink(linkPath_.c_str());
      }
    }
  }
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
    toProgram_.Apply(outgoing_.back().bytes.data(), outgoing_.back().bytes.size());
  }
}

void PtyRunner::Timeline(Clock::time_point at, const char* what, const std::string& detail) {
  if (timelineFile_ != nullptr) {
    std::fprintf(timelineFile_, "%.3f %s %s\n",
                 std::chrono::duration<double, std::milli>(at - start_).count(), what,
                 detail.c_str());
  }
}

void PtyRunner::Receive(std::uint8_t* data, std::size_t count) {
  toReceiver_.Apply(data, count);
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

std::size_t PtyRunner::IntakeRoom(Clock::time_point now) const {
  if (byteTime_.count() == 0) {
    return kIntakeUnpaced;
  }
  // Bytes taken that the line has not carried yet: they sit in the sending UART's FIFO.
  const long long ahead =
      inFreeAt_ > now ? (inFreeAt_ - now + byteTime_ - Clock::duration(1)) / byteTime_ : 0;
  return ahead >= kFifoBytes ? 0 : static_cast<std::size_t>(kFifoBytes - ahead);
}

int PtyRunner::PollTimeoutMs() const {
  auto next = Clock::now() + std::chrono::milliseconds(50);
  if (byteTime_.count() != 0 && IntakeRoom(Clock::now()) == 0) {
    next = std::min(next, inFreeAt_ - std::chrono::duration_cast<Clock::duration>(
                                          byteTime_ * (kFifoBytes - 1)));
  }
  if (!outgoing_.empty()) {
    next = std::min(next, std::max(outgoing_.front().due, lineFreeAt_));
  }
  if (!incoming_.empty()) {
    next = std::min(next, incoming_.front().due);
  }
  if (const auto adapter = AdapterDue()) {
    next = std::min(next, *adapter);
  }
  if (restartEnds_) {
    next = std::min(next, *restartEnds_);
  }
  if (nextScheduled_ < scheduleAt_.size()) {
    next = std::min(next, start_ + scheduleAt_[nextScheduled_]);
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
    std::size_t n = chunk;
    if (line_.packetSizes.empty()) {
      Bytes crossing(next.bytes.begin(), next.bytes.begin() + static_cast<std::ptrdiff_t>(chunk));
      if (!EndsAgree()) {
        Misread(crossing.data(), crossing.size());
      }
      const ssize_t written = ::write(master_, crossing.data(), chunk);
      if (written <= 0) {
        return;  // the program is not reading: try again on the next turn
      }
      n = static_cast<std::size_t>(written);
    } else {
      Deliver(next.bytes.data(), chunk, now);
    }
    lineFreeAt_ =
        (byteTime_.count() == 0 ? now : lineFreeAt_) + byteTime_ * static_cast<long long>(n);
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

void PtyRunner::Deliver(const std::uint8_t* data, std::size_t count, Clock::time_point now) {
  if (adapter_.empty()) {
    adapterSince_ = now;
  }
  const std::size_t start = adapter_.size();
  adapter_.insert(adapter_.end(), data, data + count);
  if (!EndsAgree()) {
    Misread(adapter_.data() + start, count);
  }
  FlushAdapter(now);
}

void PtyRunner::FlushAdapter(Clock::time_point now) {
  while (!adapter_.empty() && master_ >= 0) {
    const std::size_t packet = line_.packetSizes[nextPacket_ % line_.packetSizes.size()];
    const bool full = adapter_.size() >= packet;
    if (!full && now < adapterSince_ + std::chrono::milliseconds(line_.latencyMs)) {
      return;
    }
    const std::size_t count = std::min(packet, adapter_.size());
    const ssize_t written = ::write(master_, adapter_.data(), count);
    if (written <= 0) {
      return;  // the program is not reading: the adapter holds on
    }
    adapter_.erase(adapter_.begin(), adapter_.begin() + written);
    if (static_cast<std::size_t>(written) == count) {
      ++nextPacket_;
    }
    adapterSince_ = now;  // the latency timer starts again with each packet
  }
}

std::optional<Clock::time_point> PtyRunner::AdapterDue() const {
  if (adapter_.empty()) {
    return std::nullopt;
  }
  const std::size_t packet = line_.packetSizes[nextPacket_ % line_.packetSizes.size()];
  return adapter_.size() >= packet ? adapterSince_
                                   : adapterSince_ + std::chrono::milliseconds(line_.latencyMs);
}

std::optional<Clock::time_point> PtyRunner::NextRelease() const {
  const long long ticks = nextRelease_.load();
  if (ticks == 0) {
    return std::nullopt;
  }
  return Clock::time_point(Clock::duration(ticks));
}

void PtyRunner::Schedule(const std::vector<unsigned>& intervalsMs) {
  scheduleAt_.clear();
  std::chrono::milliseconds at(0);
  for (const unsigned interval : intervalsMs) {
    at += std::chrono::milliseconds(interval);
    scheduleAt_.push_back(at);
  }
  nextScheduled_ = 0;
}

// A signal handler may only touch atomics that need no lock.
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic<BoxChange>::is_always_lock_free);

void PtyRunner::PostBoxChange(BoxChange change) noexcept {
  const std::uint32_t count = postedCount_.load(std::memory_order_relaxed);
  if (count - takenCount_.load(std::memory_order_acquire) >= posted_.size()) {
    return;  // more at once than anyone presses
  }
  posted_[count % posted_.size()].store(change, std::memory_order_relaxed);
  postedCount_.store(count + 1, std::memory_order_release);
}

void PtyRunner::ChangeBoxes() {
  const std::uint32_t posted = postedCount_.load(std::memory_order_acquire);
  for (std::uint32_t taken = takenCount_.load(); taken != posted; ++taken) {
    const BoxChange change = posted_[taken % posted_.size()].load(std::memory_order_relaxed);
    takenCount_.store(taken + 1, std::memory_order_release);
    change == BoxChange::kOff ? TakeBoxOff() : PutNextBox();
  }
  while (nextScheduled_ < scheduleAt_.size() &&
         Clock::now() >= start_ + scheduleAt_[nextScheduled_]) {
    nextScheduled_++ % 2 == 0 ? TakeBoxOff() : PutNextBox();
  }
}

void PtyRunner::LogBox(const char* change, std::size_t box) {
  std::lock_guard<std::mutex> lock(logMutex_);
  if (logFile_ != nullptr) {
    std::fprintf(logFile_, "%.1f - %s %zu\n", ElapsedMs(), change, box + 1);
    std::fflush(logFile_);
  }
}

void PtyRunner::TakeBoxOff() {
  if (model_ == nullptr) {
    return;
  }
  // The box goes silent; what it was sending and what was on its way to it are lost.
  model_ = nullptr;
  outgoing_.clear();
  incoming_.clear();
  restartEnds_.reset();
  lineWithBox_ = false;
  if (usb_) {
    DropLine();
    returnAt_.reset();
    if (!linkPath_.empty()) {
      ::unlink(linkPath_.c_str());
    }
  }
  LogBox("BOX_OFF", box_);
  if (boxOff_) {
    boxOff_(box_);
  }
}

void PtyRunner::PutNextBox() {
  TakeBoxOff();
  if (nextBox_ >= boxes_.size()) {
    return;  // after the last box, the cable stays empty
  }
  // Sendings are the line's: the new box goes on counting.
  boxes_[nextBox_]->ContinueSendings(boxes_[box_]->Sendings());
  box_ = nextBox_++;
  model_ = boxes_[box_];
  lineWithBox_ = usb_ && master_ < 0;
  LogBox("BOX_ON", box_);
}

void PtyRunner::Run(const std::atomic<bool>& stop) {
  std::uint8_t buffer[4096];
  while (!stop) {
    ChangeBoxes();
    if (master_ < 0) {
      if (restartEnds_ && model_ != nullptr && Clock::now() >= *restartEnds_) {
        model_->Restart();  // up again, and its adapter with it
        restartEnds_.reset();
        lineWithBox_ = true;
      }
      // Hung up or no adapter: away until it is time to come back on a new line, if ever.
      const bool back = returnAt_ && Clock::now() >= *returnAt_;
      std::string error;
      if ((back || lineWithBox_) && NewLine(error)) {
        if (back) {
          returnAt_.reset();
          ++returns_;
        }
        lineWithBox_ = false;
        continue;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      nextRelease_ = 0;
      continue;
    }
    // What the line cannot take yet stays in the program's tty, as in a real port's output
    // queue: a flush there (a device server does one when its client goes) throws it away.
    const std::size_t room = std::min(IntakeRoom(Clock::now()), sizeof(buffer));
    pollfd wait{master_, static_cast<short>(room > 0 ? POLLIN : 0), 0};
    const int ready = ::poll(&wait, 1, PollTimeoutMs());
    if (ready > 0 && (wait.revents & POLLIN) != 0) {
      const ssize_t n = ::read(master_, buffer, room);
      // A program waiting for CTS never sends on a three-wire cable.
      if (n > 0 && !ProgramWaitsForCts()) {
        if (!EndsAgree()) {
          Misread(buffer, static_cast<std::size_t>(n));
        }
        Receive(buffer, static_cast<std::size_t>(n));
      }
    }
    TakeDue();
    if (restartEnds_ && Clock::now() >= *restartEnds_) {
      model_->Restart();  // up again, with the flash just written
      restartEnds_.reset();
    }
    if (model_ != nullptr && model_->HangUpRequested()) {
      HangUp();
      continue;
    }
    SendDue();
    FlushAdapter(Clock::now());
    if (master_ < 0) {
      continue;
    }
    std::optional<Clock::time_point> next;
    if (!outgoing_.empty()) {
      next = std::max(outgoing_.front().due, lineFreeAt_);
    }
    if (const auto adapter = AdapterDue(); adapter && (!next || *adapter < *next)) {
      next = adapter;
    }
    nextRelease_ = next ? next->time_since_epoch().count() : 0;
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
