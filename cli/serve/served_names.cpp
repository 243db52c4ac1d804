#include "cli/serve/served_names.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace serve {

namespace {

namespace ip = boost::asio::ip;

// Host names are compared as DNS does, without regard to case.
std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// An IPv4 client of an IPv6 wildcard address reaches it as an IPv4-mapped address.
ip::address Unmapped(const ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return ip::make_address_v4(ip::v4_mapped, address.to_v6());
  }
  return address;
}

}  // namespace

ServedNames::ServedNames(const std::string& name, ip::address bound, int port,
                         const std::string& machine)
    : name_(Lower(name)),
      bound_(std::move(bound)),
      port_(std::to_string(port)),
      machine_(Lower(machine)) {}

bool ServedNames::Answers(std::string_view host, const ip::address& local) const {
  std::string_view name = host;
  std::string_view rest;
  const bool bracketed = host.starts_with('[');
  if (bracketed) {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) {
      return false;
    }
    name = host.substr(1, close - 1);
    rest = host.substr(close + 1);
  } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
    name = host.substr(0, colon);
    rest = host.substr(colon);
  }
  if (!rest.empty() && rest != ":" + port_) {
    return false;
  }
  std::string lower = Lower(name);
  if (!bracketed && lower.ends_with('.')) {
    lower.pop_back();  // the root of DNS, which a name may end with
  }
  if (lower.empty()) {
    return false;
  }
  const ip::address reached = Unmapped(local);
  boost::system::error_code notAddress;
  const ip::address literal = ip::make_address(lower, notAddress);
  if (!notAddress) {
    // An IPv6 address only in brackets, an IPv4 one only without.
    return literal.is_v6() == bracketed &&
           (literal == Unmapped(bound_) || (bound_.is_unspecified() && literal == reached));
  }
  if (bracketed) {
    return false;
  }
  return lower == name_ || (lower == "localhost" && reached.is_loopback()) ||
         (bound_.is_unspecified() && !machine_.empty() && lower == machine_);
}

}  // namespace serve
