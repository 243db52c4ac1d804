#include "cli/serve/bench_metrics.h"

#include <charconv>

#include <nlohmann/json.hpp>

#include "cli/console/json_line.h"

namespace serve {

namespace {

using cli::Json;
using cli::TextField;

// A receiver of 1 or 2 MiB takes minutes at 115200 baud: its backup read twice, the
// upgrade, the restart and the verifying read; one that fails may take seconds.
const std::vector<double> kReceiverBounds = {10,  30,  60,  120,  180,  240, 300,
                                             420, 600, 900, 1200, 1800, 3600};
const std::vector<double> kStageBounds = {1, 5, 10, 30, 60, 90, 120, 180, 240, 300, 600};

const char* const kResults[] = {"ok", "up_to_date", "failed"};

double Number(const Json& event, const char* key) {
  const auto it = event.find(key);
  return it != event.end() && it->is_number() ? it->get<double>() : 0;
}

std::string Format(double value) {
  char text[32];
  const auto [end, failure] = std::to_chars(text, text + sizeof(text), value);
  return failure == std::errc() ? std::string(text, end) : "NaN";
}

// A label's value with the format's three escapes.
std::string Quoted(const std::string& value) {
  std::string quoted = "\"";
  for (const char c : value) {
    if (c == '\\' || c == '"') {
      quoted += '\\';
      quoted += c;
    } else if (c == '\n') {
      quoted += "\\n";
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

void Head(std::string& text, const char* name, const char* type, const char* help) {
  text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

BenchMetrics::BenchMetrics(const std::string& version, const std::string& action)
    : version_(version) {
  // The run's own series are there from the start, at nought, so that a rate over them
  // begins with the run.
  for (const char* result : kResults) {
    receivers_[{action, result}] = 0;
  }
  receiverSeconds_[action].counts.assign(kReceiverBounds.size() + 1, 0);
  const std::vector<std::string> stages =
      action == "upgrade" ? std::vector<std::string>{"backup", "upgrade", "restart", "verify"}
                          : std::vector<std::string>{action};
  for (const std::string& stage : stages) {
    stageSeconds_[stage].counts.assign(kStageBounds.size() + 1, 0);
    // Only reads repair: the backup, the verifying read, a read.
    if (stage != "upgrade" && stage != "restart") {
      repaired_[stage] = 0;
    }
  }
  bytes_["read"] = 0;
  bytes_["written"] = 0;
}

void BenchMetrics::Observe(std::map<std::string, Histogram>& histograms,
                           const std::vector<double>& bounds, const std::string& label,
                           double value) {
  Histogram& histogram = histograms[label];
  histogram.counts.resize(bounds.size() + 1, 0);
  std::size_t bucket = 0;
  while (bucket < bounds.size() && value > bounds[bucket]) {
    ++bucket;
  }
  ++histogram.counts[bucket];
  histogram.sum += value;
  ++histogram.count;
}

void BenchMetrics::Fold(const Json& event) {
  const std::string kind = TextField(event, "event");
  const std::string port = TextField(event, "port");
  if (kind == "start" && !port.empty()) {
    passes_.erase(port);
    return;
  }
  if (kind == "progress" && event.contains("bytes")) {
    // The upgrade writes to the receiver; every other stage reads from it.
    const std::string stage = TextField(event, "stage");
    const std::string pass = stage + " " + Format(Number(event, "pass"));
    const auto bytes = static_cast<std::uint64_t>(Number(event, "bytes"));
    PassBytes& counted = passes_[port];
    if (counted.pass != pass || bytes < counted.bytes) {
      counted = PassBytes{pass, 0};
    }
    bytes_[stage == "upgrade" ? "written" : "read"] += bytes - counted.bytes;
    counted.bytes = bytes;
    return;
  }
  if (kind != "record") {
    return;
  }
  const auto record = event.find("record");
  if (record == event.end() || !record->is_object()) {
    return;
  }
  const std::string command = TextField(*record, "command");
  const bool failed = Number(*record, "exitCode") != 0;
  const char* result = failed                                         ? "failed"
                       : TextField(*record, "result") == "up to date" ? "up_to_date"
                                                                      : "ok";
  ++receivers_[{command, result}];
  Observe(receiverSeconds_, kReceiverBounds, command, Number(*record, "seconds"));
  if (const auto stages = record->find("stages"); stages != record->end() && stages->is_object()) {
    for (const auto& [stage, seconds] : stages->items()) {
      if (seconds.is_number()) {
        Observe(stageSeconds_, kStageBounds, stage, seconds.get<double>());
      }
    }
  }
  if (const auto repaired = event.find("repaired");
      repaired != event.end() && repaired->is_object()) {
    for (const auto& [stage, blocks] : repaired->items()) {
      if (blocks.is_array()) {
        repaired_[stage] += blocks.size();
      }
    }
  }
}

void BenchMetrics::Clients(std::size_t connected, std::uint64_t dropped, std::uint64_t lost) {
  clients_ = connected;
  dropped_ = dropped;
  lost_ = lost;
}

std::string BenchMetrics::Text(const std::vector<PortState>& ports) const {
  std::string text;
  Head(text, "vesker_link_build_info", "gauge", "The vesker-link that serves the bench.");
  text += "vesker_link_build_info{version=" + Quoted(version_) + "} 1\n";

  Head(text, "vesker_link_receivers_total", "counter",
       "Receivers handled, by command and result (ok, up_to_date, failed).");
  for (const auto& [key, count] : receivers_) {
    text += "vesker_link_receivers_total{command=" + Quoted(key.first) +
            ",result=" + Quoted(key.second) + "} " + std::to_string(count) + "\n";
  }

  const auto histogram = [&](const char* name, const char* label,
                             const std::map<std::string, Histogram>& histograms,
                             const std::vector<double>& bounds) {
    for (const auto& [value, h] : histograms) {
      const std::string labels = std::string(label) + "=" + Quoted(value);
      std::uint64_t cumulative = 0;
      for (std::size_t i = 0; i <= bounds.size(); ++i) {
        cumulative += i < h.counts.size() ? h.counts[i] : 0;
        text += std::string(name) + "_bucket{" + labels +
                ",le=" + Quoted(i < bounds.size() ? Format(bounds[i]) : "+Inf") + "} " +
                std::to_string(cumulative) + "\n";
      }
      text += std::string(name) + "_sum{" + labels + "} " + Format(h.sum) + "\n";
      text += std::string(name) + "_count{" + labels + "} " + std::to_string(h.count) + "\n";
    }
  };
  Head(text, "vesker_link_receiver_seconds", "histogram",
       "Time per receiver, from its first exchange to its result, by command.");
  histogram("vesker_link_receiver_seconds", "command", receiverSeconds_, kReceiverBounds);
  Head(text, "vesker_link_stage_seconds", "histogram",
       "Time per receiver in each stage (backup, upgrade, restart, verify, read).");
  histogram("vesker_link_stage_seconds", "stage", stageSeconds_, kStageBounds);

  Head(text, "vesker_link_ports", "gauge", "Ports by what they are doing.");
  for (const PortState state : {PortState::kWaiting, PortState::kUnavailable, PortState::kWorking,
                                PortState::kDone, PortState::kUpToDate, PortState::kFailed}) {
    std::size_t count = 0;
    for (const PortState port : ports) {
      count += port == state ? 1 : 0;
    }
    text += std::string("vesker_link_ports{state=") + Quoted(PortStateName(state)) + "} " +
            std::to_string(count) + "\n";
  }

  Head(text, "vesker_link_bytes_total", "counter",
       "Flash data moved over the lines: read from receivers, written to them.");
  for (const auto& [direction, bytes] : bytes_) {
    text += "vesker_link_bytes_total{direction=" + Quoted(direction) + "} " +
            std::to_string(bytes) + "\n";
  }
  Head(text, "vesker_link_repaired_blocks_total", "counter",
       "Blocks that noise on the line garbled and a second or third read repaired, by stage.");
  for (const auto& [stage, blocks] : repaired_) {
    text += "vesker_link_repaired_blocks_total{stage=" + Quoted(stage) + "} " +
            std::to_string(blocks) + "\n";
  }

  Head(text, "vesker_link_event_clients", "gauge", "Clients of the event stream now.");
  text += "vesker_link_event_clients " + std::to_string(clients_) + "\n";
  Head(text, "vesker_link_event_clients_dropped_total", "counter",
       "Event stream clients dropped because they stopped reading.");
  text += "vesker_link_event_clients_dropped_total " + std::to_string(dropped_) + "\n";
  Head(text, "vesker_link_events_lost_total", "counter",
       "Events the bench made faster than the server could take them in.");
  text += "vesker_link_events_lost_total " + std::to_string(lost_) + "\n";
  return text;
}

}  // namespace serve
