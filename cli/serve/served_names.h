// The names a request may give the bench in its Host header: the bench's own. A web page
// that a browser on the bench's network opened from elsewhere, whose name is then made to
// lead to the bench (DNS rebinding), still names itself there, and is refused: no page but
// the bench's own may read the bench's ports, files and restore commands.
#pragma once

#include <string>
#include <string_view>

#include <boost/asio/ip/address.hpp>

namespace serve {

class ServedNames {
 public:
  // name: the address as --serve gave it (an address or a name); bound: the address
  // listened on; machine: this machine's host name, answered when bound to every address.
  ServedNames(const std::string& name, boost::asio::ip::address bound, int port,
              const std::string& machine);

  // Whether host, a Host header's value, names the bench, for a connection that reached it
  // at local: the address listened on (an IPv6 one in brackets), the name --serve gave,
  // localhost over loopback, and on a wildcard address the address reached and this
  // machine's name. A port, if any, must be the one served.
  bool Answers(std::string_view host, const boost::asio::ip::address& local) const;

 private:
  std::string name_;  // lower case, as all the names compared
  boost::asio::ip::address bound_;
  std::string port_;
  std::string machine_;
};

}  // namespace serve
