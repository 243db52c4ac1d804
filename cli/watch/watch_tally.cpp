#include "cli/watch/watch_tally.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "cli/console/exit_code.h"
#include "ui/headless/console_host.h"

namespace cli {

WatchTally::WatchTally(ConsoleOutput& output, EventReporter::Style style, int count,
                       std::size_t slot)
    : output_(output),
      style_(style),
      count_(count),
      slot_(slot),
      start_(std::chrono::steady_clock::now()) {}

bool WatchTally::Claim() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (count_ > 0 && claimed_ >= count_) {
    return false;
  }
  ++claimed_;
  return true;
}

bool WatchTally::Over() const {
  if (ui::ConsoleHost::CancelRequested()) {
    return true;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  return count_ > 0 && static_cast<int>(boxes_.size()) >= count_;
}

WatchTally::Counts WatchTally::Take() const {
  Counts counts;
  for (const PortSummary& box : boxes_) {
    if (box.exitCode != kExitOk) {
      ++counts.failed;
    } else if (box.upToDate) {
      ++counts.upToDate;
    } else {
      ++counts.done;
    }
  }
  const double hours =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count() / 3600;
  counts.perHour = hours > 0 ? static_cast<double>(boxes_.size()) / hours : 0;
  return counts;
}

std::string WatchTally::CountsText() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const Counts counts = Take();
  return "done " + std::to_string(counts.done) + ", up to date " + std::to_string(counts.upToDate) +
         ", failed " + std::to_string(counts.failed) + "; " +
         std::to_string(std::llround(counts.perHour)) + " boxes per hour";
}

Json WatchTally::CountsJson() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const Counts counts = Take();
  return {{"done", counts.done},
          {"upToDate", counts.upToDate},
          {"failed", counts.failed},
          {"boxesPerHour", Tenths(counts.perHour)}};
}

void WatchTally::Start() {
  if (style_ == EventReporter::Style::kTerminal) {
    Show();
  }
}

void WatchTally::Handled(const PortSummary& box) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    boxes_.push_back(box);
  }
  Show();
}

void WatchTally::Show() {
  output_.Event(JsonLine({{"event", "counts"}, {"counts", CountsJson()}}),
                style_ == EventReporter::Style::kJson);
  switch (style_) {
    case EventReporter::Style::kJson:
      return;
    case EventReporter::Style::kPlain:
      output_.Err(CountsText());
      return;
    case EventReporter::Style::kTerminal:
      output_.SetLive(slot_, CountsText());
      return;
    case EventReporter::Style::kSilent:
      return;
  }
}

std::vector<PortSummary> WatchTally::Boxes() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}

void WatchTally::CloseLine() {
  output_.SetLive(slot_, std::string());
}

}  // namespace cli
