// A serial line behind a serial device server, as a port name gives it:
// rfc2217://HOST:PORT (Telnet COM Port Control: the line's settings are ours to set) or
// socket://HOST:PORT (raw TCP: the line's settings are the server's).
#pragma once

#include <string>

namespace comm {

struct NetworkAddress {
  enum class Kind { kRfc2217, kSocket };
  Kind kind = Kind::kRfc2217;
  // A name, an IPv4 address, or an IPv6 address without its brackets (with its zone, as in
  // fe80::1%eth0, where it has one).
  std::string host;
  int port = 0;
};

// Whether a port name is meant as a network port (it may still be malformed).
bool IsNetworkPortName(const std::string& name);

// False with the reason for anything but rfc2217:// or socket:// with a host (a name, an
// IPv4 address or a bracketed IPv6 address, with an interface's name or number as its zone
// where it has one) and a port of 1 to 65535, and nothing else.
bool ParseNetworkAddress(const std::string& name, NetworkAddress& address, std::string& error);

}  // namespace comm
