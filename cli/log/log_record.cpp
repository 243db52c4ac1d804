#include "cli/log/log_record.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace cli {

namespace {

// Now in UTC as "yyyy-mm-ddThh:mm:ssZ".
std::string UtcTime() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  char text[40];
  std::snprintf(text, sizeof(text), "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

}  // namespace

Json LogRecord(const PortSummary& summary, const std::string& command, const std::string& file,
               const StageSeconds& stages, const StageProofs& proofs, const Json& adapter) {
  Json seconds = Json::object();
  for (const auto& [stage, spent] : stages) {
    seconds[stage] = Tenths(spent);
  }
  Json proof = Json::object();
  for (const auto& [stage, how] : proofs) {
    proof[stage] = how;
  }
  return {{"time", UtcTime()},
          {"port", summary.port},
          {"adapter", adapter},
          {"kind", summary.kind},
          {"command", command},
          {"file", file},
          {"result", summary.result},
          {"exitCode", summary.exitCode},
          {"seconds", Tenths(summary.seconds)},
          {"stages", seconds},
          {"sha256", summary.sha256},
          {"backup", summary.backup},
          {"restore", summary.restore},
          {"proof", proof}};
}

}  // namespace cli
