// One client of the event stream: the lines it has yet to be sent, bounded. The bench's side
// only ever adds to it and wakes the client's connection; a client that falls too far behind
// (it stopped reading) is dropped rather than waited for.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace serve {

class EventClient {
 public:
  // backlog: the bytes it may fall behind by before it is dropped.
  explicit EventClient(std::size_t backlog) : backlog_(backlog) {}

  // wake is called, on the thread that made the change, when lines wait where none did, and
  // when the client is dropped or closed; it must not wait for anything.
  void OnChange(std::function<void()> wake);
  // Adds a line without waiting; false (and the client dropped) when it is too far behind.
  bool Push(const std::string& line);
  // The first lines, which a new client gets whatever their size.
  void PushAll(const std::vector<std::string>& lines);
  // Takes every line waiting, without waiting for any; false once the client is dropped or
  // closed.
  bool Take(std::vector<std::string>& lines);
  // No more lines: the server stops.
  void Close();

 private:
  // Called with the lock held; the wake itself is called after it is let go.
  std::function<void()> WakeOnce(bool always);

  std::mutex mutex_;
  std::function<void()> wake_;
  bool woken_ = false;  // a wake is on its way, and the client has not taken since
  std::deque<std::string> lines_;
  std::size_t bytes_ = 0;
  std::size_t backlog_;
  bool dropped_ = false;
  bool closed_ = false;
};

}  // namespace serve
