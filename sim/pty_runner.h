// Puts a ReceiverModel on a pseudo-terminal: what the program writes to the port reaches the
// model, and the model's answers go back at the pace of a real line (or at once).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/receiver_model.h"

namespace sim {

struct LoggedFrame {
  double ms = 0;  // since the runner opened its pty
  ReceivedFrame frame;
};

class PtyRunner {
 public:
  // baud 0: unpaced. Otherwise 8N1, 10 bits a byte.
  PtyRunner(ReceiverModel& model, unsigned baud);
  ~PtyRunner();
  PtyRunner(const PtyRunner&) = delete;
  PtyRunner& operator=(const PtyRunner&) = delete;

  bool Open(std::string& error);
  // After a hang-up the receiver comes back on a new pty after this long (and its link is
  // pointed there); 0: it stays away.
  void ReturnAfter(unsigned milliseconds) { returnAfterMs_ = milliseconds; }
  int HangUps() const { return hangUps_.load(); }
  const std::string& DevicePath() const { return devicePath_; }
  // Points a symbolic link at the pty, replacing whatever was there in one step.
  bool LinkAs(const std::string& linkPath, std::string& error);
  // Each received frame also goes to this file as a line "<ms> <hex> <name>".
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
  void Receive(const std::uint8_t* data, std::size_t count);
  void Take(const std::uint8_t* data, std::size_t count);
  void TakeDue();
  void Timeline(std::chrono::steady_clock::time_point at, const char* what,
                const std::string& detail);
  int PollTimeoutMs() const;
  void SendDue();
  // Closes both ends of the pty: the program's port is left on a dead line.
  void HangUp();
  void Close();

  ReceiverModel& model_;
  std::chrono::nanoseconds byteTime_;
  int master_ = -1;
  int slave_ = -1;  // held open so the line stays up while the program closes and reopens
  std::string devicePath_;
  std::string linkPath_;
  std::atomic<unsigned> returnAfterMs_{0};
  std::optional<std::chrono::steady_clock::time_point> returnAt_;
  std::atomic<int> hangUps_{0};
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
