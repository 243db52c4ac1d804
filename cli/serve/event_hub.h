// Where the bench's events meet the page's clients. A port thread hands an event over and
// goes on: the line joins a bounded inbox, and a thread of the hub's own folds it into the
// board and the metrics and passes it to every client's bounded queue. Nothing on the
// bench's side ever waits for the network.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/serve/bench_board.h"
#include "cli/serve/bench_facts.h"
#include "cli/serve/bench_metrics.h"
#include "cli/serve/event_client.h"

namespace serve {

class EventHub {
 public:
  // clients: how many event streams at once.
  EventHub(const BenchFacts& facts, std::size_t clients);
  ~EventHub();
  EventHub(const EventHub&) = delete;
  EventHub& operator=(const EventHub&) = delete;

  void Publish(std::string line);
  // A new client, its queue starting with the bench's present state; null when there are
  // as many clients as allowed.
  std::shared_ptr<EventClient> Subscribe();
  // stalled: it went because it stopped reading, not because it left.
  void Unsubscribe(const std::shared_ptr<EventClient>& client, bool stalled);
  std::string Metrics();
  // The inbox is taken in, and every client closed.
  void Stop();

 private:
  void Dispatch();

  std::size_t maxClients_;
  std::mutex inboxMutex_;
  std::condition_variable inboxReady_;
  std::deque<std::string> inbox_;
  bool stopping_ = false;
  std::uint64_t lost_ = 0;

  std::mutex mutex_;  // what follows
  BenchBoard board_;
  BenchMetrics metrics_;
  std::vector<std::shared_ptr<EventClient>> clients_;
  std::uint64_t dropped_ = 0;

  std::thread dispatcher_;
};

}  // namespace serve
