#include "sim/box_changes.h"

namespace sim {

void BoxChanges::Schedule(const std::vector<unsigned>& intervalsMs) {
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

void BoxChanges::Post(BoxChange change) noexcept {
  const std::uint32_t count = postedCount_.load(std::memory_order_relaxed);
  if (count - takenCount_.load(std::memory_order_acquire) >= posted_.size()) {
    return;  // more at once than anyone presses
  }
  posted_[count % posted_.size()].store(change, std::memory_order_relaxed);
  postedCount_.store(count + 1, std::memory_order_release);
}

std::vector<BoxChange> BoxChanges::TakePosted() {
  std::vector<BoxChange> changes;
  const std::uint32_t posted = postedCount_.load(std::memory_order_acquire);
  for (std::uint32_t taken = takenCount_.load(); taken != posted; ++taken) {
    changes.push_back(posted_[taken % posted_.size()].load(std::memory_order_relaxed));
    takenCount_.store(taken + 1, std::memory_order_release);
  }
  return changes;
}

std::optional<BoxChange> BoxChanges::TakeScheduled(std::chrono::steady_clock::duration sinceStart) {
  if (nextScheduled_ >= scheduleAt_.size() || sinceStart < scheduleAt_[nextScheduled_]) {
    return std::nullopt;
  }
  return nextScheduled_++ % 2 == 0 ? BoxChange::kOff : BoxChange::kNext;
}

std::optional<std::chrono::milliseconds> BoxChanges::NextScheduled() const {
  if (nextScheduled_ >= scheduleAt_.size()) {
    return std::nullopt;
  }
  return scheduleAt_[nextScheduled_];
}

}  // namespace sim
