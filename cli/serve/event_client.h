// One client of the event stream: the lines it has yet to be sent, bounded. The bench's side
// only ever adds to it; a client that falls too far behind (it stopped reading) is dropped
// rather than waited for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace serve {

class EventClient {
 public:
  // backlog: the bytes it may fall behind by before it is dropped.
  explicit EventClient(std::size_t backlog) : backlog_(backlog) {}

  // Adds a line without waiting; false (and the client dropped) when it is too far behind.
  bool Push(const std::string& line);
  // The first lines, which a new client gets whatever their size.
  void PushAll(const std::vector<std::string>& lines);
  // Waits up to wait for lines and takes them all; false once the client is dropped or
  // closed.
  bool Take(std::vector<std::string>& lines, std::chrono::milliseconds wait);
  // No more lines: the server stops.
  void Close();

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::string> lines_;
  std::size_t bytes_ = 0;
  std::size_t backlog_;
  bool dropped_ = false;
  bool closed_ = false;
};

}  // namespace serve
