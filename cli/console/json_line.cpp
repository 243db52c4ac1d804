#include "cli/console/json_line.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace cli {

std::string JsonLine(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

double Tenths(double value) {
  return std::round(value * 10) / 10;
}

std::string TextField(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace cli
