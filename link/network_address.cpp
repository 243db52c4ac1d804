#include "link/network_address.h"

#include <algorithm>

namespace comm {

namespace {

constexpr char kRfc2217Scheme[] = "rfc2217://";
constexpr char kSocketScheme[] = "socket://";

bool StartsWith(const std::string& text, const std::string& head) {
  return text.compare(0, head.size(), head) == 0;
}

// Letters, digits, '-' and '.', as host names are spelled; nothing that could end a field
// of the connection string the name goes into.
bool IsHostName(const std::string& host) {
  return !host.empty() && host.size() <= 253 && host.front() != '-' && host.front() != '.' &&
         std::all_of(host.begin(), host.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.';
         });
}

bool IsIpv6(const std::string& host) {
  return host.find(':') != std::string::npos && host.size() <= 45 &&
         std::all_of(host.begin(), host.end(), [](char c) {
           return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') ||
                  c == ':' || c == '.';
         });
}

// The zone of a link-local address: an interface's name or number (eth0, enp3s0, 2). Only
// characters that cannot end a field of the connection string.
bool IsZone(const std::string& zone) {
  return !zone.empty() && zone.size() <= 15 && std::all_of(zone.begin(), zone.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

}  // namespace

bool IsNetworkPortName(const std::string& name) {
  return StartsWith(name, kRfc2217Scheme) || StartsWith(name, kSocketScheme) ||
         name.find("://") != std::string::npos;
}

bool ParseNetworkAddress(const std::string& name, NetworkAddress& address, std::string& error) {
  NetworkAddress parsed;
  std::string rest;
  if (StartsWith(name, kRfc2217Scheme)) {
    parsed.kind = NetworkAddress::Kind::kRfc2217;
    rest = name.substr(sizeof(kRfc2217Scheme) - 1);
  } else if (StartsWith(name, kSocketScheme)) {
    parsed.kind = NetworkAddress::Kind::kSocket;
    rest = name.substr(sizeof(kSocketScheme) - 1);
  } else {
    error = "a network port is rfc2217://HOST:PORT or socket://HOST:PORT: " + name;
    return false;
  }
  std::string portText;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      error = "an IPv6 address goes in brackets, its port after them: [::1]:4001 in " + name;
      return false;
    }
    parsed.host = rest.substr(1, close - 1);
    portText = rest.substr(close + 2);
    // A link-local address names the interface it is reached through: [fe80::1%eth0].
    const std::size_t percent = parsed.host.find('%');
    if (!IsIpv6(parsed.host.substr(0, percent)) ||
        (percent != std::string::npos && !IsZone(parsed.host.substr(percent + 1)))) {
      error = "not an IPv6 address: " + parsed.host;
      return false;
    }
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos) {
      error = "no port number in " + name;
      return false;
    }
    parsed.host = rest.substr(0, colon);
    portText = rest.substr(colon + 1);
    if (!IsHostName(parsed.host)) {
      error = parsed.host.find(':') != std::string::npos
                  ? "an IPv6 address goes in brackets: [" + parsed.host + "]"
                  : "not a host name or address: \"" + parsed.host + "\"";
      return false;
    }
  }
  const bool digits =
      !portText.empty() && portText.size() <= 5 &&
      std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; });
  parsed.port = digits ? std::stoi(portText) : 0;
  if (parsed.port < 1 || parsed.port > 65535) {
    error = "not a TCP port (1 to 65535): \"" + portText + "\" in " + name;
    return false;
  }
  address = parsed;
  return true;
}

}  // namespace comm
