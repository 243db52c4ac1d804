// What the bench page's server answers, as HTTP messages. Every answer carries the page's
// safe headers (no guessing of types, no caching, the page's own sources only) and closes
// its connection; a refusal says why in words, as plain text, for whoever meets it in a
// browser or with curl.
#pragma once

#include <string>
#include <string_view>

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

namespace serve {

using Answer = boost::beast::http::response<boost::beast::http::string_body>;

// body, of the given Content-Type, for a request of HTTP version (11 for 1.1).
Answer Content(std::string body, std::string_view type, unsigned version);

// A refusal with its words: "bad request", "not found", "only GET" (with Allow), ...
Answer Refusal(boost::beast::http::status status, unsigned version);

// The event stream's header; its events follow until the connection closes.
boost::beast::http::response<boost::beast::http::empty_body> StreamHeader(unsigned version);

}  // namespace serve
