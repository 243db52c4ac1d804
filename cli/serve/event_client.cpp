#include "cli/serve/event_client.h"

namespace serve {

bool EventClient::Push(const std::string& line) {
  bool kept = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (dropped_ || closed_) {
      return !dropped_;
    }
    if (bytes_ + line.size() > backlog_) {
      dropped_ = true;
      lines_.clear();
    } else {
      lines_.push_back(line);
      bytes_ += line.size();
      kept = true;
    }
  }
  ready_.notify_one();
  return kept;
}

void EventClient::PushAll(const std::vector<std::string>& lines) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    // Not counted against the backlog: it is what the client asked for.
    lines_.insert(lines_.end(), lines.begin(), lines.end());
  }
  ready_.notify_one();
}

bool EventClient::Take(std::vector<std::string>& lines, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait_for(lock, wait, [&] { return !lines_.empty() || dropped_ || closed_; });
  if (dropped_ || closed_) {
    return false;
  }
  lines.assign(std::make_move_iterator(lines_.begin()), std::make_move_iterator(lines_.end()));
  lines_.clear();
  bytes_ = 0;
  return true;
}

void EventClient::Close() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
}

}  // namespace serve
