// The bench in Prometheus' text format: receivers handled by command and result, the
// seconds per receiver and per stage as histograms, ports by state, bytes moved, blocks that
// noise garbled and a further read repaired, the event stream's clients, and the build.
// Everything comes from the events the bench reports.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "cli/serve/bench_board.h"

namespace serve {

class BenchMetrics {
 public:
  BenchMetrics(const std::string& version, const std::string& action);

  void Fold(const nlohmann::ordered_json& event);
  // The event stream's clients: connected now, and dropped for not reading; events the
  // bench made faster than they could be taken in.
  void Clients(std::size_t connected, std::uint64_t dropped, std::uint64_t lost);

  std::string Text(const std::vector<PortState>& ports) const;

 private:
  struct Histogram {
    std::vector<std::uint64_t> counts;  // one a bound, and the last for +Inf
    double sum = 0;
    std::uint64_t count = 0;
  };
  void Observe(std::map<std::string, Histogram>& histograms, const std::vector<double>& bounds,
               const std::string& label, double value);
  // Bytes of a port's pass counted so far: each progress event gives its pass's total.
  struct PassBytes {
    std::string pass;
    std::uint64_t bytes = 0;
  };

  std::string version_;
  std::map<std::pair<std::string, std::string>, std::uint64_t> receivers_;  // command, result
  std::map<std::string, Histogram> receiverSeconds_;                        // by command
  std::map<std::string, Histogram> stageSeconds_;                           // by stage
  std::map<std::string, std::uint64_t> bytes_;                              // read, written
  std::map<std::string, std::uint64_t> repaired_;                           // by stage
  std::map<std::string, PassBytes> passes_;                                 // by port
  std::size_t clients_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t lost_ = 0;
};

}  // namespace serve
