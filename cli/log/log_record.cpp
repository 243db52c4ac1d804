#include "cli/log/log_record.h"

#include <nlohmann/json.hpp>

#include "cli/console/utc_time.h"

namespace cli {

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
  return {{"time", UtcNow()},
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
          {"backupSha256", summary.backupSha256},
          {"restore", summary.restore},
          {"proof", proof}};
}

}  // namespace cli
