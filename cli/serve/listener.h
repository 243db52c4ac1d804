// Takes the bench page's connections, a bounded number at a time. At the bound it stops
// accepting until a connection has gone, so that a flood of connections waits in the
// system's short queue: it costs the bench a bounded number of descriptors, and never the
// serial ports' ones.
#pragma once

#include <cstddef>
#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "cli/serve/event_hub.h"
#include "cli/serve/served_names.h"

namespace serve {

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  // Lives as long as its accepting and its connections; hub and names outlive it.
  Listener(boost::asio::ip::tcp::acceptor acceptor, EventHub& hub, const ServedNames& names);

  void Start();
  // Accepts no more, even as connections go: the server stops. Only while no thread runs
  // the server's handlers.
  void Close();

 private:
  void Accept();
  void OnAccept(const boost::system::error_code& error, boost::asio::ip::tcp::socket socket);
  void Serve(boost::asio::ip::tcp::socket socket);
  void Release();

  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer pause_;  // after the system ran out of descriptors
  EventHub& hub_;
  const ServedNames& names_;
  std::size_t connections_ = 0;
  bool accepting_ = false;  // an accept is on its way, or will be after a pause
  bool closed_ = false;
};

}  // namespace serve
