// One client's event stream, once its header has gone: each event as it comes, a comment
// when the stream has been quiet for a while so that a client that went is noticed, and
// the end when the client is dropped for falling behind, stops reading or leaves, or the
// server stops. The bench's side only wakes it; it never waits on the network.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include "cli/serve/event_client.h"
#include "cli/serve/event_hub.h"

namespace serve {

class EventStream : public std::enable_shared_from_this<EventStream> {
 public:
  // place: held while the connection lives, so that the listener counts it.
  EventStream(boost::beast::tcp_stream stream, std::shared_ptr<EventClient> client, EventHub& hub,
              std::shared_ptr<void> place);
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  void Start();

 private:
  // Sends what the client has been given, unless a write is on its way.
  void Pump();
  void Write(std::string text);
  void OnWritten(const boost::system::error_code& error);
  void End();

  boost::beast::tcp_stream stream_;
  boost::asio::steady_timer quiet_;
  std::shared_ptr<EventClient> client_;
  EventHub& hub_;
  std::shared_ptr<void> place_;
  std::string text_;  // on its way
  bool writing_ = false;
  bool stalled_ = false;  // a write waited too long: the client stopped reading
  bool ended_ = false;
};

}  // namespace serve
