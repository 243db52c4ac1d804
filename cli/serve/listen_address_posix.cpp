#include "cli/serve/listen_address.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

namespace serve {

namespace {

// Connections the system may hold for the server while it serves as many as it takes.
constexpr int kBacklog = 16;

}  // namespace

bool ListenOn(boost::asio::ip::tcp::acceptor& acceptor, const std::string& host, int port,
              std::string& reason) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int failure = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
      failure != 0) {
    reason = ::gai_strerror(failure);
    return false;
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);
  reason = "cannot listen there";
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    boost::asio::ip::tcp::endpoint endpoint;
    if (address->ai_addrlen > endpoint.capacity()) {
      continue;
    }
    std::memcpy(endpoint.data(), address->ai_addr, address->ai_addrlen);
    endpoint.resize(address->ai_addrlen);
    boost::system::error_code error;
    acceptor.open(endpoint.protocol(), error);
    if (!error) {
      acceptor.set_option(boost::asio::socket_base::reuse_address(true), error);
    }
    if (!error) {
      acceptor.bind(endpoint, error);
    }
    if (!error) {
      acceptor.listen(kBacklog, error);
    }
    if (!error) {
      return true;
    }
    reason = error.message();
    boost::system::error_code ignored;
    acceptor.close(ignored);
  }
  return false;
}

}  // namespace serve
