// The changes asked of the bench: posted (from a signal handler too) or on a schedule.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

// A change on the bench: the box on the cable taken off, or the next box put on (the one on
// the cable taken off first).
enum class BoxChange : std::uint8_t { kOff, kNext };

class BoxChanges {
 public:
  // Changes at these intervals, the first from start: off, next, off, next, ...
  void Schedule(const std::vector<unsigned>& intervalsMs);
  // Asks for a change; safe in a signal handler (atomic stores only) as long as one post is
  // not interrupted by another.
  void Post(BoxChange change) noexcept;

  // The changes posted since the last take, in the order posted.
  std::vector<BoxChange> TakePosted();
  // The schedule's next change once it is due, counted from start; each is given once.
  std::optional<BoxChange> TakeScheduled(std::chrono::steady_clock::duration sinceStart);
  // When the schedule's next change is due, from start; nullopt after the last.
  std::optional<std::chrono::milliseconds> NextScheduled() const;

 private:
  std::vector<std::chrono::milliseconds> scheduleAt_;  // from start
  std::size_t nextScheduled_ = 0;
  std::array<std::atomic<BoxChange>, 32> posted_{};
  std::atomic<std::uint32_t> postedCount_{0};
  std::atomic<std::uint32_t> takenCount_{0};
};

}  // namespace sim
