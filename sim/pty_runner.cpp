#include "sim/pty_runner.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace sim {

using Clock = std::chrono::steady_clock;

namespace {
// How far a paced line may run ahead of the clock: about two milliseconds of bytes.
constexpr auto kLookAhead = std::chrono::milliseconds(2);
}  // namespace

PtyRunner::PtyRunner(ReceiverModel& model, unsigned baud, LineOptions line)
    : PtyRunner(std::vector<ReceiverModel*>{&model}, baud, std::move(line)) {}

PtyRunner::PtyRunner(std::vector<ReceiverModel*> boxes, unsigned baud, LineOptions line)
    : bench_(std::move(boxes)),
      byteTime_(baud == 0 ? std::chrono::nanoseconds(0)
                          : std::chrono::nanoseconds(10'000'000'000LL / baud)),
      startState_(line.state),
      ends_(baud),
      toProgram_(line.bitErrorRate, line.noiseSeed),
      // Each way its own generator, so that where errors fall does not depend on timing.
      toReceiver_(line.bitErrorRate, line.noiseSeed ^ 0x5DEECE66DULL),
      adapter_(std::move(line.packetSizes), line.latencyMs) {}

PtyRunner::~PtyRunner() {
  Stop();
}

void PtyRunner::DropLine() {
  pty_.Close();
  outgoing_.clear();
  incoming_.clear();
  adapter_.Drop();
}

bool PtyRunner::NewLine(std::string& error) {
  return Open(error) && pty_.Relink(error);
}

void PtyRunner::HangUp() {
  DropLine();
  // The device goes with the line, as a pulled adapter's does: a link left to the closed
  // pty would lead whoever opens it to the next pty the system hands out, another line.
  pty_.Unlink();
  if (ReceiverModel* box = bench_.OnCable(); box != nullptr) {
    box->LineLost();
  }
  ++hangUps_;
  if (returnAfterMs_ > 0) {
    returnAt_ = Clock::now() + std::chrono::milliseconds(returnAfterMs_);
  }
}

bool PtyRunner::Open(std::string& error) {
  if (!pty_.Open(startState_, error)) {
    return false;
  }
  if (start_ == Clock::time_point()) {
    start_ = Clock::now();  // the log's times count from the first line, across returns
  }
  lineFreeAt_ = inFreeAt_ = Clock::now();
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
  ReceiverModel* box = bench_.OnCable();
  if (box == nullptr) {
    return;  // no box on the cable
  }
  std::vector<ReceivedFrame> frames;
  const std::vector<Emission> answers = box->Receive(data, count, frames);
  if (box->RestartRequested() && !restartEnds_) {
    // It saves and restarts: nothing it was still to send goes out.
    outgoing_.clear();
    incoming_.clear();
    restartEnds_ = restartMs_ == kNever ? Clock::time_point::max()
                                        : Clock::now() + std::chrono::milliseconds(restartMs_);
    if (adapterRestarts_) {
      DropLine();
      pty_.Unlink();
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
  if (ByteTime().count() == 0) {
    Take(data, count);
    return;
  }
  // The bytes reach the receiver one after another at the line's pace.
  inFreeAt_ = std::max(inFreeAt_, now) + ByteTime() * static_cast<long long>(count);
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

std::chrono::nanoseconds PtyRunner::ByteTime() const {
  const ReceiverModel* box = bench_.OnCable();
  if (pacedBlocks_ > 0 && box != nullptr && box->BlocksMoved() > pacedBlocks_) {
    return std::chrono::nanoseconds(0);
  }
  return byteTime_;
}

std::size_t PtyRunner::IntakeRoom(Clock::time_point now) const {
  if (ByteTime().count() == 0) {
    return kIntakeUnpaced;
  }
  // Bytes taken that the line has not carried yet: they sit in the sending UART's FIFO.
  const long long ahead =
      inFreeAt_ > now ? (inFreeAt_ - now + ByteTime() - Clock::duration(1)) / ByteTime() : 0;
  return ahead >= kFifoBytes ? 0 : static_cast<std::size_t>(kFifoBytes - ahead);
}

int PtyRunner::PollTimeoutMs() const {
  auto next = Clock::now() + std::chrono::milliseconds(50);
  if (ByteTime().count() != 0 && IntakeRoom(Clock::now()) == 0) {
    next = std::min(next, inFreeAt_ - std::chrono::duration_cast<Clock::duration>(
                                          ByteTime() * (kFifoBytes - 1)));
  }
  if (!outgoing_.empty()) {
    next = std::min(next, std::max(outgoing_.front().due, lineFreeAt_));
  }
  if (!incoming_.empty()) {
    next = std::min(next, incoming_.front().due);
  }
  if (const auto adapter = adapter_.Due()) {
    next = std::min(next, *adapter);
  }
  if (restartEnds_) {
    next = std::min(next, *restartEnds_);
  }
  if (const auto change = changes_.NextScheduled()) {
    next = std::min(next, start_ + *change);
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
    if (ByteTime().count() != 0) {
      // An idle line starts sending when the answer is due, not when this loop came round.
      if (!next.started) {
        lineFreeAt_ = std::max(lineFreeAt_, next.due);
        next.started = true;
      }
      // As many bytes as the line carries until a little ahead of now; the kernel's timer
      // granularity would otherwise slow the line down.
      const auto ahead = now + kLookAhead - lineFreeAt_;
      chunk = std::min<std::size_t>(chunk, static_cast<std::size_t>(ahead / ByteTime()) + 1);
    }
    std::size_t n = chunk;
    Bytes crossing(next.bytes.begin(), next.bytes.begin() + static_cast<std::ptrdiff_t>(chunk));
    ends_.Cross(pty_, crossing.data(), crossing.size());
    if (!adapter_.Present()) {
      const ssize_t written = ::write(pty_.Master(), crossing.data(), chunk);
      if (written <= 0) {
        return;  // the program is not reading: try again on the next turn
      }
      n = static_cast<std::size_t>(written);
    } else {
      adapter_.Take(crossing.data(), chunk, now);
      adapter_.Flush(pty_.Master(), now);
    }
    lineFreeAt_ =
        (ByteTime().count() == 0 ? now : lineFreeAt_) + ByteTime() * static_cast<long long>(n);
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

void PtyRunner::ChangeBoxes() {
  for (const BoxChange change : changes_.TakePosted()) {
    MakeChange(change);
  }
  while (const auto change = changes_.TakeScheduled(Clock::now() - start_)) {
    MakeChange(*change);
  }
}

void PtyRunner::MakeChange(BoxChange change) {
  change == BoxChange::kOff ? TakeBoxOff() : PutNextBox();
}

void PtyRunner::LogBox(const char* change, std::size_t box) {
  std::lock_guard<std::mutex> lock(logMutex_);
  if (logFile_ != nullptr) {
    std::fprintf(logFile_, "%.1f - %s %zu\n", ElapsedMs(), change, box + 1);
    std::fflush(logFile_);
  }
}

void PtyRunner::TakeBoxOff() {
  if (!bench_.TakeOff()) {
    return;
  }
  // The box goes silent; what it was sending and what was on its way to it are lost.
  outgoing_.clear();
  incoming_.clear();
  restartEnds_.reset();
  lineWithBox_ = false;
  if (usb_) {
    DropLine();
    returnAt_.reset();
    pty_.Unlink();
  }
  LogBox("BOX_OFF", bench_.Box());
  if (boxOff_) {
    boxOff_(bench_.Box());
  }
}

void PtyRunner::PutNextBox() {
  TakeBoxOff();
  if (!bench_.PutNext()) {
    return;  // after the last box, the cable stays empty
  }
  lineWithBox_ = usb_ && !pty_.IsOpen();
  LogBox("BOX_ON", bench_.Box());
}

void PtyRunner::Run(const std::atomic<bool>& stop) {
  std::uint8_t buffer[4096];
  while (!stop) {
    ChangeBoxes();
    if (!pty_.IsOpen()) {
      if (restartEnds_ && bench_.OnCable() != nullptr && Clock::now() >= *restartEnds_) {
        bench_.OnCable()->Restart();  // up again, and its adapter with it
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
    pollfd wait{pty_.Master(), static_cast<short>(room > 0 ? POLLIN : 0), 0};
    const int ready = ::poll(&wait, 1, PollTimeoutMs());
    if (ready > 0 && (wait.revents & POLLIN) != 0) {
      const ssize_t n = ::read(pty_.Master(), buffer, room);
      // A program waiting for CTS never sends on a three-wire cable.
      if (n > 0 && !LineEnds::ProgramWaitsForCts(pty_)) {
        ends_.Cross(pty_, buffer, static_cast<std::size_t>(n));
        Receive(buffer, static_cast<std::size_t>(n));
      }
    }
    TakeDue();
    if (restartEnds_ && Clock::now() >= *restartEnds_) {
      bench_.OnCable()->Restart();  // up again, with the flash just written
      restartEnds_.reset();
    }
    if (ReceiverModel* box = bench_.OnCable(); box != nullptr && box->HangUpRequested()) {
      HangUp();
      continue;
    }
    SendDue();
    adapter_.Flush(pty_.Master(), Clock::now());
    if (!pty_.IsOpen()) {
      continue;
    }
    std::optional<Clock::time_point> next;
    if (!outgoing_.empty()) {
      next = std::max(outgoing_.front().due, lineFreeAt_);
    }
    if (const auto adapter = adapter_.Due(); adapter && (!next || *adapter < *next)) {
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
