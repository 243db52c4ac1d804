#include "cli/ports/port_names.h"

#include <charconv>

#include "link/network_address.h"

namespace cli {

bool ParseNumber(std::string_view text, int low, int high, int& value) {
  int parsed = 0;
  const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (failure != std::errc() || end != text.data() + text.size() || parsed < low || parsed > high) {
    return false;
  }
  value = parsed;
  return true;
}

bool ParsePortName(const std::string& text, int& comNumber) {
  if (text.empty()) {
    return false;
  }
  if (comm::IsNetworkPortName(text)) {
    comm::NetworkAddress address;
    std::string ignored;
    comNumber = 0;
    return comm::ParseNetworkAddress(text, address, ignored);
  }
  if (text.size() == 1) {
    comNumber = text[0] - '0';
    return text[0] >= '1' && text[0] <= '4';
  }
  if (text.rfind("COM", 0) != 0 && text.rfind("com", 0) != 0) {
    comNumber = 0;
    return true;
  }
  int n = 0;
  if (!ParseNumber(std::string_view(text).substr(3), 1, 0x7FFFFFFF, n)) {
    return false;
  }
  comNumber = n;
  return true;
}

bool CheckPortName(const std::string& text, std::string& error) {
  if (comm::IsNetworkPortName(text)) {
    comm::NetworkAddress address;
    return comm::ParseNetworkAddress(text, address, error);
  }
  if (int n = 0; !ParsePortName(text, n)) {
    error = "bad port " + text +
            ": give a device, COMn, 1 to 4, rfc2217://HOST:PORT or "
            "socket://HOST:PORT";
    return false;
  }
  return true;
}

std::string PortLabel(const std::string& name) {
  int n = 0;
  return ParsePortName(name, n) && n > 0 ? "COM" + std::to_string(n) : name;
}

std::string FileLabel(const std::string& port) {
  std::string label =
      port.substr(port.find_last_of("/\\") == std::string::npos ? 0 : port.find_last_of("/\\") + 1);
  for (char& c : label) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    if (!plain) {
      c = '_';
    }
  }
  return label.empty() ? "port" : label;
}

std::string FileForPort(const std::string& path, const std::string& port) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::size_t dot = path.rfind('.');
  const bool extension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  const std::size_t cut = extension ? dot : path.size();
  return path.substr(0, cut) + "-" + FileLabel(port) + path.substr(cut);
}

}  // namespace cli
