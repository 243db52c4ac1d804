#include "cli/serve/event_client.h"

#include <iterator>
#include <utility>

namespace serve {

void EventClient::OnChange(std::function<void()> wake) {
  const std::lock_guard<std::mutex> lock(mutex_);
  wake_ = std::move(wake);
}

std::function<void()> EventClient::WakeOnce(bool always) {
  // One wake for any number of lines: the client takes them all at once.
  if (woken_ && !always) {
    return nullptr;
  }
  woken_ = true;
  return wake_;
}

bool EventClient::Push(const std::string& line) {
  bool kept = false;
  std::function<void()> wake;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (dropped_ || closed_) {
      return !dropped_;
    }
    if (bytes_ + line.size() > backlog_) {
      dropped_ = true;
      lines_.clear();
      wake = WakeOnce(true);
    } else {
      lines_.push_back(line);
      bytes_ += line.size();
      kept = true;
      wake = WakeOnce(false);
    }
  }
  if (wake) {
    wake();
  }
  return kept;
}

void EventClient::PushAll(const std::vector<std::string>& lines) {
  std::function<void()> wake;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    // Not counted against the backlog: it is what the client asked for.
    lines_.insert(lines_.end(), lines.begin(), lines.end());
    wake = WakeOnce(false);
  }
  if (wake) {
    wake();
  }
}

bool EventClient::Take(std::vector<std::string>& lines) {
  const std::lock_guard<std::mutex> lock(mutex_);
  woken_ = false;
  if (dropped_ || closed_) {
    return false;
  }
  lines.assign(std::make_move_iterator(lines_.begin()), std::make_move_iterator(lines_.end()));
  lines_.clear();
  bytes_ = 0;
  return true;
}

void EventClient::Close() {
  std::function<void()> wake;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    wake = WakeOnce(true);
  }
  if (wake) {
    wake();
  }
}

}  // namespace serve
