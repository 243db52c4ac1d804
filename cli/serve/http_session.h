// One connection of the bench page's server: its request read within bounds (the header's
// bytes and fields, and one deadline for all of it however slowly it comes), checked (the
// bench's own names; GET or HEAD, refused before any body is read), answered, and closed.
// An event stream goes on in an EventStream of its own.
#pragma once

#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

#include "cli/serve/event_client.h"
#include "cli/serve/event_hub.h"
#include "cli/serve/http_answer.h"
#include "cli/serve/served_names.h"

namespace serve {

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  // place: held while the connection lives, so that the listener counts it.
  HttpSession(boost::asio::ip::tcp::socket socket, EventHub& hub, const ServedNames& names,
              std::shared_ptr<void> place);
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  void Start();

 private:
  void OnHeader(const boost::system::error_code& error);
  void OnDeadline();
  // The answer to a whole header.
  void Respond();
  void Send(Answer answer);
  void SendStreamHeader();
  void OnSent(const boost::system::error_code& error);
  // What the client still sends is read and let go for a moment before the connection
  // closes, so that the answer reaches it rather than a reset.
  void Drain();
  void LetGo();

  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  boost::beast::http::request_parser<boost::beast::http::empty_body> parser_;
  boost::asio::steady_timer deadline_;  // for the whole request
  bool reading_ = false;
  bool late_ = false;
  bool head_ = false;
  unsigned version_ = 11;
  Answer answer_;
  boost::beast::http::response<boost::beast::http::empty_body> streamHeader_;
  std::shared_ptr<EventClient> client_;  // once the request is the event stream's
  EventHub& hub_;
  const ServedNames& names_;
  std::shared_ptr<void> place_;
};

}  // namespace serve
