// A device server's host name looked up within a time limit, as the network library takes
// its addresses.
#pragma once

#include <chrono>
#include <string>

#include "link/network_address.h"

namespace comm {

// The host's addresses as the library takes them ("ipv6,::1,4001,ipv4,127.0.0.1,4001"),
// looked up so that the lookup keeps to the open's time limit and the library never
// reads a name as one of its own keywords ("ipv4"). False with the system's
// reason, or with a name server that has not answered within wait.
bool LookUpHost(const NetworkAddress& address, std::chrono::milliseconds wait, std::string& list,
                std::string& detail);

}  // namespace comm
