// Where the bench page's server listens: the address --serve names, as the system finds it.
#pragma once

#include <string>

#include <boost/asio/ip/tcp.hpp>

namespace serve {

// Opens acceptor listening on host:port (port 0: one the system picks), on the first of the
// host's addresses that can be listened on; false with the system's reason otherwise
// ("Address already in use", "Cannot assign requested address").
bool ListenOn(boost::asio::ip::tcp::acceptor& acceptor, const std::string& host, int port,
              std::string& reason);

}  // namespace serve
