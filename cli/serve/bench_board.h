// The bench as a new client of the page must first see it: each port's present state and
// the run's records, kept as the events that made them, so that the page builds itself
// from the same events whether they come live or all at once after a reconnect.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "cli/serve/bench_facts.h"

namespace serve {

// What a port is doing, in the words of the metrics' state label.
enum class PortState { kWaiting, kUnavailable, kWorking, kDone, kUpToDate, kFailed };
const char* PortStateName(PortState state);

class BenchBoard {
 public:
  using Clock = std::chrono::steady_clock;

  explicit BenchBoard(BenchFacts facts);

  // One event as --json gives it, parsed, and its text.
  void Fold(const nlohmann::ordered_json& event, const std::string& line, Clock::time_point now);

  // The lines a new event stream begins with: a "bench" event (the facts, when the run
  // started, and how long each port's receiver has been on), the run's start, its records,
  // the latest counts, and each port's events since its receiver came (or its last state),
  // the record of a receiver still on its port coming after them, as it did live.
  std::vector<std::string> Snapshot(Clock::time_point now) const;

  std::vector<PortState> PortStates() const;

 private:
  struct Port {
    BenchPort facts;
    std::vector<std::string> replay;
    bool progressLast = false;  // replay ends with a progress event, which the next replaces
    std::optional<Clock::time_point> receiverSince;
    std::string record;  // the record of the receiver on the port now, once it has one
    PortState state = PortState::kWaiting;
  };
  Port& PortNamed(const std::string& label);

  BenchFacts facts_;
  std::string started_;  // when the run started, UTC
  std::vector<Port> ports_;
  std::string runStart_;
  std::string runResult_;
  std::string counts_;
  std::deque<std::string> records_;
};

}  // namespace serve
