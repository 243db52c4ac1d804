#include "cli/serve/http_answer.h"

#include <utility>

#include <boost/beast/http/field.hpp>

namespace serve {

namespace {

namespace http = boost::beast::http;

std::string_view Words(http::status status) {
  switch (status) {
    case http::status::bad_request:
      return "bad request";
    case http::status::not_found:
      return "not found";
    case http::status::method_not_allowed:
      return "only GET";
    case http::status::request_timeout:
      return "request too slow";
    case http::status::misdirected_request:
      return "not this bench's name";
    case http::status::request_header_fields_too_large:
      return "request header too large";
    case http::status::service_unavailable:
      return "too many clients of the event stream";
    default:
      return "cannot serve this request";
  }
}

// One request a connection: the server never waits for a second one.
template <class Body>
void Dress(http::response<Body>& message, std::string_view type) {
  message.set(http::field::content_type, type);
  message.set("X-Content-Type-Options", "nosniff");
  message.set(http::field::cache_control, "no-store");
  message.set("Content-Security-Policy",
              "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
  message.keep_alive(false);
}

}  // namespace

Answer Content(std::string body, std::string_view type, unsigned version) {
  Answer answer(http::status::ok, version, std::move(body));
  Dress(answer, type);
  answer.prepare_payload();
  return answer;
}

Answer Refusal(http::status status, unsigned version) {
  Answer answer = Content(std::string(Words(status)) + "\n", "text/plain; charset=utf-8", version);
  answer.result(status);
  if (status == http::status::method_not_allowed) {
    answer.set(http::field::allow, "GET, HEAD");
  }
  return answer;
}

http::response<http::empty_body> StreamHeader(unsigned version) {
  http::response<http::empty_body> header(http::status::ok, version);
  Dress(header, "text/event-stream");
  return header;
}

}  // namespace serve
