// Puts a ReceiverModel on a pseudo-terminal: what the program writes to the port reaches the
// model, and the model's answers go back at the pace of a real line (or at once).
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/bench.h"
#include "sim/bit_errors.h"
#include "sim/box_changes.h"
#include "sim/line_ends.h"
#include "sim/pty.h"
#include "sim/receiver_model.h"
#include "sim/usb_adapter.h"

namespace sim {

// The line between the receiver and the program, beyond its speed.
struct LineOptions {
  LineState state = LineState::kRaw;
  // Delivery like a USB serial adapter: what the receiver sends reaches the program in
  // packets of these sizes, in turn, a packet that is not full after latencyMs; empty:
  // byte by byte as the line carries them.
  std::vector<std::size_t> packetSizes;
  unsigned latencyMs = 16;
  // Noise: every bit that crosses the line, either way, flips with this probability.
  double bitErrorRate = 0;
  std::uint64_t noiseSeed = 1;
};

struct LoggedFrame {
  double ms = 0;  // since the runner opened its pty
  ReceivedFrame frame;
};

class PtyRunner {
 public:
  // baud 0: unpaced. Otherwise 8N1, 10 bits a byte.
  PtyRunner(ReceiverModel& model, unsigned baud, LineOptions line = {});
  // A bench: these boxes go on the cable one after another, the first at start.
  PtyRunner(std::vector<ReceiverModel*> boxes, unsigned baud, LineOptions line = {});
  ~PtyRunner();
  PtyRunner(const PtyRunner&) = delete;
  PtyRunner& operator=(const PtyRunner&) = delete;

  bool Open(std::string& error);
  // After a hang-up the receiver comes back on a new pty after this long (and its link is
  // pointed there); 0: it stays away.
  void ReturnAfter(unsigned milliseconds) { returnAfterMs_ = milliseconds; }
  int HangUps() const { return hangUps_.load(); }
  // A receiver that restarts after an upgrade is silent this long; kNever: for good.
  static constexpr unsigned kNever = ~0u;
  void RestartFor(unsigned milliseconds) { restartMs_ = milliseconds; }
  // A paced line keeps the pace for this many blocks of each read or upgrade, and carries
  // the rest at once: a test sees the pace on a few dozen blocks, and still a whole flash.
  // 0: all of them.
  void PaceOnly(std::uint32_t blocks) { pacedBlocks_ = blocks; }
  // How often it came back on a new line (and link) after a hang-up.
  int Returns() const { return returns_.load(); }
  const std::string& DevicePath() const { return pty_.Path(); }
  // Points a symbolic link at the pty, replacing whatever was there in one step.
  bool LinkAs(const std::string& linkPath, std::string& error) {
    return pty_.LinkAs(linkPath, error);
  }
  // The USB adapter goes with the box: while no box is on the cable, the pty is closed and
  // the link removed; the next box comes with a new pty, and the link points to it.
  void AdapterGoesWithBox(bool usb) { usb_ = usb; }
  // The USB adapter is powered by its box: it also goes while the box restarts after an
  // upgrade, and comes back on a new pty (the link pointed there) when the box is up.
  void AdapterRestartsWithBox(bool restarts) { adapterRestarts_ = restarts; }
  // Box changes at these intervals, the first from start: off, next, off, next, ...
  void Schedule(const std::vector<unsigned>& intervalsMs) { changes_.Schedule(intervalsMs); }
  // Asks for a change; safe in a signal handler (atomic stores only) as long as one post is
  // not interrupted by another. Changes are made in the order posted.
  void PostBoxChange(BoxChange change) noexcept { changes_.Post(change); }
  // Called with the box's index (from 0) each time a box is taken off the cable.
  void OnBoxOff(std::function<void(std::size_t)> taken) { boxOff_ = std::move(taken); }

  // Each received frame also goes to this file as a line "<ms> <hex> <name>"; each box
  // change as "<ms> - BOX_ON <n>" or "<ms> - BOX_OFF <n>" (n from 1).
  void LogTo(std::FILE* file) { logFile_ = file; }
  // The line's timeline goes to this file: "<ms> tx-end <name>" when the last byte of an
  // answer or block has left, "<ms> rx-start <bytes>" when the program starts sending after
  // the line was quiet.
  void TimelineTo(std::FILE* file) { timelineFile_ = file; }

  // Runs until stop is set; or on a thread of its own with Start and Stop.
  void Run(const std::atomic<bool>& stop);
  void Start();
  void Stop();

  std::vector<LoggedFrame> Frames() const;
  double ElapsedMs() const;
  // The settings of the program's end of the line now; false when there is no line.
  bool ProgramEnd(termios& settings) const { return pty_.ProgramEnd(settings); }
  // When the next byte waiting to go out is due (steady clock), or nullopt with nothing left.
  std::optional<std::chrono::steady_clock::time_point> NextRelease() const;

 private:
  struct Pending {
    std::chrono::steady_clock::time_point due;
    Bytes bytes;
    std::string name;
    bool started = false;
    bool hangUpAfter = false;
  };
  void Receive(std::uint8_t* data, std::size_t count);
  void Take(const std::uint8_t* data, std::size_t count);
  void TakeDue();
  void Timeline(std::chrono::steady_clock::time_point at, const char* what,
                const std::string& detail);
  int PollTimeoutMs() const;
  // How many bytes the line can take from the program's tty now: a paced line takes no
  // more than a sending UART's FIFO holds beyond what it has carried.
  std::size_t IntakeRoom(std::chrono::steady_clock::time_point now) const;
  static constexpr long long kFifoBytes = 64;
  static constexpr std::size_t kIntakeUnpaced = 4096;
  void SendDue();
  // The line goes dead: the adapter is pulled, and comes back later if asked to.
  void HangUp();
  // Closes both ends of the pty, and what was on its way is lost: the program's port is left
  // on a dead line.
  void DropLine();
  // A new pty, and the link pointed at it.
  bool NewLine(std::string& error);
  // Makes the changes posted and those the schedule has come to.
  void ChangeBoxes();
  void MakeChange(BoxChange change);
  void TakeBoxOff();
  void PutNextBox();
  void LogBox(const char* change, std::size_t box);

  Bench bench_;
  BoxChanges changes_;
  bool usb_ = false;
  bool adapterRestarts_ = false;
  bool lineWithBox_ = false;  // a new box waits for its line
  std::function<void(std::size_t)> boxOff_;
  // The line time of a byte: 0 unpaced, and once the blocks to pace have gone.
  std::chrono::nanoseconds ByteTime() const;
  std::chrono::nanoseconds byteTime_;
  std::uint32_t pacedBlocks_ = 0;
  LineState startState_;
  LineEnds ends_;
  BitErrors toProgram_;   // noise on what the receiver sends
  BitErrors toReceiver_;  // ... and on what the program sends
  UsbAdapter adapter_;
  Pty pty_;
  std::atomic<unsigned> returnAfterMs_{0};
  std::optional<std::chrono::steady_clock::time_point> returnAt_;
  std::atomic<int> hangUps_{0};
  std::atomic<int> returns_{0};
  std::atomic<unsigned> restartMs_{0};
  // While the receiver restarts: when it is up again.
  std::optional<std::chrono::steady_clock::time_point> restartEnds_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lineFreeAt_;
  std::deque<Pending> outgoing_;
  // Bytes the program wrote, held until a line at the baud rate would have delivered them.
  std::deque<Pending> incoming_;
  std::chrono::steady_clock::time_point inFreeAt_;
  std::FILE* logFile_ = nullptr;
  std::FILE* timelineFile_ = nullptr;
  mutable std::mutex logMutex_;
  std::vector<LoggedFrame> frames_;
  std::atomic<bool> stop_{false};
  std::atomic<long long> nextRelease_{0};  // steady-clock ticks; 0: nothing to send
  std::thread thread_;
};

}  // namespace sim
