#include "cli/serve/listener.h"

#include <chrono>
#include <utility>

#include <boost/asio/error.hpp>

#include "cli/serve/http_session.h"

namespace serve {

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

// Connections at once: every event stream allowed, and room for pages and scrapes beside them.
constexpr std::size_t kConnections = 80;
// Accepted connections take this on: a client that stops reading fills it soon, and its
// stream is then dropped within the write's time rather than buffered for long.
constexpr int kSendBuffer = 64 * 1024;
// When the system has no descriptor to spare, another try after this.
constexpr auto kPause = std::chrono::milliseconds(100);

}  // namespace

Listener::Listener(tcp::acceptor acceptor, EventHub& hub, const ServedNames& names)
    : acceptor_(std::move(acceptor)), pause_(acceptor_.get_executor()), hub_(hub), names_(names) {}

void Listener::Start() {
  Accept();
}

void Listener::Close() {
  closed_ = true;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  pause_.cancel();
}

void Listener::Accept() {
  accepting_ = true;
  acceptor_.async_accept(
      [self = shared_from_this()](const boost::system::error_code& error, tcp::socket socket) {
        self->OnAccept(error, std::move(socket));
      });
}

void Listener::OnAccept(const boost::system::error_code& error, tcp::socket socket) {
  accepting_ = false;
  if (closed_ || error == net::error::operation_aborted) {
    return;
  }
  if (error == net::error::no_descriptors || error == net::error::no_buffer_space ||
      error == net::error::no_memory) {
    accepting_ = true;  // after the pause
    pause_.expires_after(kPause);
    pause_.async_wait([self = shared_from_this()](const boost::system::error_code& stopped) {
      if (!stopped && !self->closed_) {
        self->Accept();
      }
    });
    return;
  }
  if (!error) {
    // A connection that cannot be set up costs itself only.
    try {
      Serve(std::move(socket));
    } catch (...) {
    }
  }
  if (connections_ < kConnections) {
    Accept();
  }
}

void Listener::Serve(tcp::socket socket) {
  boost::system::error_code ignored;
  socket.set_option(net::socket_base::send_buffer_size(kSendBuffer), ignored);
  // The connection's place is held as long as anything of the connection is.
  ++connections_;
  std::shared_ptr<void> place(nullptr, [self = shared_from_this()](void*) { self->Release(); });
  std::make_shared<HttpSession>(std::move(socket), hub_, names_, std::move(place))->Start();
}

void Listener::Release() {
  --connections_;
  if (!accepting_ && !closed_ && connections_ < kConnections) {
    Accept();
  }
}

}  // namespace serve
