#include "cli/serve/http_session.h"

#include <chrono>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include "cli/serve/event_stream.h"
#include "cli/serve/page_assets.h"

namespace serve {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using boost::system::error_code;

// A request's header: far beyond what a browser or a scraper sends, and a bounded cost for a
// client that sends header lines without end, however short.
constexpr std::uint32_t kHeaderBytes = 8 * 1024;
constexpr std::ptrdiff_t kHeaderFields = 100;
// A request is whole within this of its connection, however slowly it trickles in.
constexpr auto kRequestTime = std::chrono::seconds(5);
// An answer is taken within this, or the client has stopped reading.
constexpr auto kSendTime = std::chrono::seconds(5);
// What a client still sends after its answer is let go for this long at most.
constexpr auto kDrainTime = std::chrono::seconds(2);
constexpr std::size_t kDrainChunk = 4096;

constexpr std::string_view kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

// A fault in the request itself, as opposed to a connection that went.
bool Malformed(const error_code& error) {
  return error.category() == http::make_error_code(http::error::bad_method).category() &&
         error != http::error::end_of_stream && error != http::error::partial_message;
}

}  // namespace

HttpSession::HttpSession(net::ip::tcp::socket socket, EventHub& hub, const ServedNames& names,
                         std::shared_ptr<void> place)
    : stream_(std::move(socket)),
      buffer_(std::size_t{2} * kHeaderBytes),
      deadline_(stream_.get_executor()),
      hub_(hub),
      names_(names),
      place_(std::move(place)) {
  parser_.header_limit(kHeaderBytes);
}

HttpSession::~HttpSession() {
  if (client_ != nullptr) {
    hub_.Unsubscribe(client_, false);
  }
}

void HttpSession::Start() {
  deadline_.expires_after(kRequestTime);
  deadline_.async_wait([self = shared_from_this()](const error_code& error) {
    if (!error) {
      self->OnDeadline();
    }
  });
  reading_ = true;
  http::async_read_header(
      stream_, buffer_, parser_,
      [self = shared_from_this()](const error_code& error, std::size_t) { self->OnHeader(error); });
}

void HttpSession::OnDeadline() {
  if (!reading_) {
    return;
  }
  late_ = true;
  error_code ignored;
  stream_.socket().cancel(ignored);
}

void HttpSession::OnHeader(const error_code& error) {
  reading_ = false;
  deadline_.cancel();
  if (!error) {
    Respond();
  } else if (late_) {
    // A connection on which nothing came is closed without a word: a browser opens some
    // ahead of need.
    if (parser_.got_some() || buffer_.size() > 0) {
      Send(Refusal(http::status::request_timeout, version_));
    }
  } else if (error == http::error::header_limit || error == http::error::buffer_overflow) {
    Send(Refusal(http::status::request_header_fields_too_large, version_));
  } else if (Malformed(error)) {
    Send(Refusal(http::status::bad_request, version_));
  }
}

void HttpSession::Respond() {
  const auto& request = parser_.get();
  version_ = request.version();
  head_ = request.method() == http::verb::head;
  if (std::distance(request.begin(), request.end()) > kHeaderFields) {
    Send(Refusal(http::status::request_header_fields_too_large, version_));
    return;
  }
  // Browsers always name the host. An HTTP/1.0 request without a name comes from a tool
  // (a probe, a script), never from a page a browser was led to, and is answered.
  const std::string_view host = request[http::field::host];
  if (request.count(http::field::host) > 1 || (host.empty() && version_ >= 11)) {
    Send(Refusal(http::status::bad_request, version_));
    return;
  }
  error_code unknown;
  const auto local = stream_.socket().local_endpoint(unknown);
  if (!host.empty() && (unknown || !names_.Answers(host, local.address()))) {
    Send(Refusal(http::status::misdirected_request, version_));
    return;
  }
  // Read-only: the body of anything else is never read.
  if (request.method() != http::verb::get && !head_) {
    Send(Refusal(http::status::method_not_allowed, version_));
    return;
  }
  const std::string_view target = request.target();
  const std::string path(target.substr(0, target.find('?')));
  if (path == "/events") {
    if (!head_) {
      client_ = hub_.Subscribe();
      if (client_ == nullptr) {
        Send(Refusal(http::status::service_unavailable, version_));
        return;
      }
    }
    SendStreamHeader();
  } else if (path == "/metrics") {
    Send(Content(hub_.Metrics(), kMetricsType, version_));
  } else if (const PageAsset* asset = FindPageAsset(path); asset != nullptr) {
    Send(Content(std::string(reinterpret_cast<const char*>(asset->data), asset->size), asset->type,
                 version_));
  } else {
    Send(Refusal(http::status::not_found, version_));
  }
}

void HttpSession::Send(Answer answer) {
  answer_ = std::move(answer);
  if (head_) {
    // The header as GET has it, its Content-Length too.
    answer_.body().clear();
  }
  stream_.expires_after(kSendTime);
  http::async_write(
      stream_, answer_,
      [self = shared_from_this()](const error_code& error, std::size_t) { self->OnSent(error); });
}

void HttpSession::SendStreamHeader() {
  streamHeader_ = StreamHeader(version_);
  stream_.expires_after(kSendTime);
  http::async_write(
      stream_, streamHeader_,
      [self = shared_from_this()](const error_code& error, std::size_t) { self->OnSent(error); });
}

void HttpSession::OnSent(const error_code& error) {
  if (error) {
    return;  // the client left or stopped reading: the connection goes with this
  }
  if (client_ != nullptr) {
    std::make_shared<EventStream>(std::move(stream_), std::move(client_), hub_, std::move(place_))
        ->Start();
    return;
  }
  Drain();
}

void HttpSession::Drain() {
  error_code ignored;
  stream_.socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
  stream_.expires_after(kDrainTime);
  LetGo();
}

void HttpSession::LetGo() {
  buffer_.consume(buffer_.size());
  stream_.async_read_some(buffer_.prepare(kDrainChunk),
                          [self = shared_from_this()](const error_code& error, std::size_t) {
                            if (!error) {
                              self->LetGo();
                            }
                          });
}

}  // namespace serve
