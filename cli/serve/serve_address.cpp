#include "cli/serve/serve_address.h"

#include <charconv>

namespace serve {

namespace {

bool ParsePort(const std::string& text, int& port) {
  int value = 0;
  const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || failure != std::errc() || end != text.data() + text.size() || value < 0 ||
      value > 65535) {
    return false;
  }
  port = value;
  return true;
}

}  // namespace

bool ParseServeAddress(const std::string& text, ServeAddress& address, std::string& error) {
  error = "bad --serve " + text + ": give [ADDR:]PORT, PORT 0 to 65535 (an IPv6 address in [])";
  ServeAddress parsed;
  std::string port = text;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || close == 1 || close + 1 >= text.size() ||
        text[close + 1] != ':') {
      return false;
    }
    parsed.host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    // A bare IPv6 address would be read as a host and a port: it needs its brackets.
    if (colon == 0 || text.find(':') != colon) {
      return false;
    }
    parsed.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (!ParsePort(port, parsed.port)) {
    return false;
  }
  address = parsed;
  error.clear();
  return true;
}

std::string PageUrl(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

}  // namespace serve
