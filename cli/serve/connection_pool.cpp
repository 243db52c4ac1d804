#include "cli/serve/connection_pool.h"

namespace serve {

ConnectionPool::ConnectionPool(std::size_t workers, std::size_t queued) : queued_(queued) {
  threads_.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) {
    threads_.emplace_back([this] { Work(); });
  }
}

ConnectionPool::~ConnectionPool() {
  ConnectionPool::shutdown();
}

void ConnectionPool::enqueue(std::function<void()> fn) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // The accepting thread waits here; every worker's connection is bounded by the
    // server's time-outs, so room comes.
    room_.wait(lock, [&] { return jobs_.size() < queued_ || stopping_; });
    jobs_.push_back(std::move(fn));
  }
  ready_.notify_one();
}

void ConnectionPool::Work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [&] { return !jobs_.empty() || stopping_; });
      if (jobs_.empty()) {
        return;
      }
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    room_.notify_one();
    // A connection that throws costs itself only.
    try {
      job();
    } catch (...) {
    }
  }
}

void ConnectionPool::shutdown() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ && threads_.empty()) {
      return;
    }
    stopping_ = true;
  }
  ready_.notify_all();
  room_.notify_all();
  for (std::thread& thread : threads_) {
    thread.join();
  }
  threads_.clear();
}

}  // namespace serve
