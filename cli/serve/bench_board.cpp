#include "cli/serve/bench_board.h"

#include <algorithm>
#include <iterator>

#include <nlohmann/json.hpp>

#include "cli/console/json_line.h"
#include "cli/console/utc_time.h"

namespace serve {

namespace {

using cli::Json;
using cli::TextField;

// A day's records at a busy bench; older ones are in the log.
constexpr std::size_t kRecordsKept = 5000;
// A receiver's messages are few; one that keeps talking keeps only its latest.
constexpr std::size_t kReplayKept = 48;

}  // namespace

const char* PortStateName(PortState state) {
  switch (state) {
    case PortState::kWaiting:
      return "waiting";
    case PortState::kUnavailable:
      return "unavailable";
    case PortState::kWorking:
      return "working";
    case PortState::kDone:
      return "done";
    case PortState::kUpToDate:
      return "up_to_date";
    case PortState::kFailed:
      return "failed";
  }
  return "waiting";
}

BenchBoard::BenchBoard(BenchFacts facts) : facts_(std::move(facts)), started_(cli::UtcNow()) {
  for (const BenchPort& port : facts_.ports) {
    ports_.push_back(Port{port, {}, false, std::nullopt, {}, PortState::kWaiting});
  }
}

BenchBoard::Port& BenchBoard::PortNamed(const std::string& label) {
  for (Port& port : ports_) {
    if (port.facts.label == label) {
      return port;
    }
  }
  ports_.push_back(
      Port{BenchPort{label, std::string()}, {}, false, std::nullopt, {}, PortState::kWaiting});
  return ports_.back();
}

void BenchBoard::Fold(const Json& event, const std::string& line, Clock::time_point now) {
  const std::string kind = TextField(event, "event");
  const std::string label = TextField(event, "port");
  if (label.empty()) {
    // The run's own events.
    if (kind == "start") {
      runStart_ = line;
    } else if (kind == "result") {
      runResult_ = line;
    } else if (kind == "counts") {
      counts_ = line;
    }
    return;
  }
  Port& port = PortNamed(label);
  if (kind == "record") {
    port.record = line;
    records_.push_back(line);
    if (records_.size() > kRecordsKept) {
      records_.pop_front();
    }
    if (const std::string adapter = TextField(event, "adapter"); !adapter.empty()) {
      port.facts.adapter = adapter;
    }
    return;
  }
  const bool progress = kind == "progress";
  if (kind == "start") {
    port.replay.clear();
    port.record.clear();
    port.receiverSince = now;
    port.state = PortState::kWorking;
  } else if (kind == "state") {
    const std::string state = TextField(event, "state");
    if (state == "waiting") {
      port.replay.clear();
      port.record.clear();
      port.receiverSince.reset();
      const std::string trouble = TextField(event, "trouble");
      port.state = trouble.empty() ? PortState::kWaiting : PortState::kUnavailable;
    } else {
      port.state = state == "done"         ? PortState::kDone
                   : state == "up to date" ? PortState::kUpToDate
                                           : PortState::kFailed;
    }
  } else if (kind == "result") {
    port.receiverSince.reset();
  }
  if (progress && port.progressLast && !port.replay.empty()) {
    port.replay.back() = line;
  } else {
    port.replay.push_back(line);
    if (port.replay.size() > kReplayKept) {
      port.replay.erase(port.replay.begin() + 1);  // the receiver's start stays
    }
  }
  port.progressLast = progress;
}

std::vector<std::string> BenchBoard::Snapshot(Clock::time_point now) const {
  Json ports = Json::array();
  for (const Port& port : ports_) {
    Json entry = {{"port", port.facts.label}, {"adapter", port.facts.adapter}};
    entry["receiverSeconds"] =
        port.receiverSince ? Json(std::chrono::duration<double>(now - *port.receiverSince).count())
                           : Json(nullptr);
    ports.push_back(std::move(entry));
  }
  std::vector<std::string> lines = {cli::JsonLine(Json{{"event", "bench"},
                                                       {"command", facts_.command},
                                                       {"version", facts_.version},
                                                       {"started", started_},
                                                       {"ports", std::move(ports)}})};
  if (!runStart_.empty()) {
    lines.push_back(runStart_);
  }
  // A receiver's record follows its own events, which begin by clearing its tile.
  const auto current = [&](const std::string& record) {
    return std::any_of(ports_.begin(), ports_.end(),
                       [&](const Port& port) { return port.record == record; });
  };
  std::copy_if(records_.begin(), records_.end(), std::back_inserter(lines),
               [&](const std::string& record) { return !current(record); });
  if (!counts_.empty()) {
    lines.push_back(counts_);
  }
  for (const Port& port : ports_) {
    lines.insert(lines.end(), port.replay.begin(), port.replay.end());
  }
  std::copy_if(records_.begin(), records_.end(), std::back_inserter(lines), current);
  if (!runResult_.empty()) {
    lines.push_back(runResult_);
  }
  return lines;
}

std::vector<PortState> BenchBoard::PortStates() const {
  std::vector<PortState> states;
  states.reserve(ports_.size());
  for (const Port& port : ports_) {
    states.push_back(port.state);
  }
  return states;
}

}  // namespace serve
