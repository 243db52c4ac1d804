#include "cli/console/json_line.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace cli {

std::string JsonLine(const Json& value) {
  const std::string dumped = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  // The library escapes the C0 controls but leaves DEL and the C1 controls as they are.
  // Escaped, they are the same value, and a line shown on a terminal does nothing there.
  // (The dump is UTF-8 throughout, so 0xC2 always starts a character.)
  std::string line;
  line.reserve(dumped.size());
  for (std::size_t i = 0; i < dumped.size(); ++i) {
    const auto byte = static_cast<unsigned char>(dumped[i]);
    const auto next = i + 1 < dumped.size() ? static_cast<unsigned char>(dumped[i + 1]) : 0u;
    if (byte == 0x7F) {
      line += "\\u007f";
    } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", next);
      line += escape;
      ++i;
    } else {
      line += dumped[i];
    }
  }
  return line;
}

double Tenths(double value) {
  return std::round(value * 10) / 10;
}

std::string TextField(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace cli
