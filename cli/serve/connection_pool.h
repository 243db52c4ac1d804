// The server's workers: a fixed number of threads, and a bounded queue of accepted
// connections before them. When the queue is full the server stops accepting until a
// worker is free, so that a flood of connections costs the machine a bounded number of
// descriptors and threads, and never the serial ports' descriptors.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

namespace serve {

class ConnectionPool : public httplib::TaskQueue {
 public:
  ConnectionPool(std::size_t workers, std::size_t queued);
  ~ConnectionPool() override;
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  void enqueue(std::function<void()> fn) override;
  void shutdown() override;

 private:
  void Work();

  std::size_t queued_;
  std::mutex mutex_;
  std::condition_variable ready_;  // a connection waits
  std::condition_variable room_;   // the queue has room
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace serve
