// A device server that takes a connection only to close it: what it said, and what that
// means to a user.
#pragma once

#include <string>

#include "link/port_failure.h"

namespace comm {

// What a server says to a new connection before it closes it, read on a plain connection of
// our own: the library drops it when the server closes during the Telnet negotiation.
// The server is the first of the addresses LookUpHost gave ("ipv4,127.0.0.1,4001,...").
std::string ServerWords(const std::string& addresses);

// Why a server closed a new connection, from what it said (its bytes as they came): busy when
// it says that another client holds its line (ser2net: "Port already in use"), else another
// refusal; detail: "the server closed the connection", with its words.
PortFailure RefusalOf(const std::string& said, std::string& detail);

}  // namespace comm
