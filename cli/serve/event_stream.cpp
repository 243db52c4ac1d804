#include "cli/serve/event_stream.h"

#include <chrono>
#include <utility>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>

namespace serve {

namespace {

namespace net = boost::asio;
using boost::system::error_code;

// A stream quiet for this long gets a comment line, so that a client that went is noticed.
constexpr auto kQuiet = std::chrono::seconds(15);
// A write that waits this long went to a client that stopped reading.
constexpr auto kStalled = std::chrono::seconds(5);

}  // namespace

EventStream::EventStream(boost::beast::tcp_stream stream, std::shared_ptr<EventClient> client,
                         EventHub& hub, std::shared_ptr<void> place)
    : stream_(std::move(stream)),
      quiet_(stream_.get_executor()),
      client_(std::move(client)),
      hub_(hub),
      place_(std::move(place)) {}

EventStream::~EventStream() {
  hub_.Unsubscribe(client_, stalled_);
}

void EventStream::Start() {
  client_->OnChange([self = weak_from_this(), executor = stream_.get_executor()] {
    net::post(executor, [self] {
      if (const auto stream = self.lock()) {
        stream->Pump();
      }
    });
  });
  // A browser that lost the bench asks again after two seconds.
  Write("retry: 2000\n\n");
}

void EventStream::Pump() {
  if (writing_ || ended_) {
    return;  // the write's end looks again
  }
  std::vector<std::string> lines;
  if (!client_->Take(lines)) {
    End();
    return;
  }
  std::string text;
  for (const std::string& line : lines) {
    text += "data: " + line + "\n\n";
  }
  if (!text.empty()) {
    Write(std::move(text));
  }
}

void EventStream::Write(std::string text) {
  text_ = std::move(text);
  writing_ = true;
  stream_.expires_after(kStalled);
  net::async_write(stream_, net::buffer(text_),
                   [self = shared_from_this()](const error_code& error, std::size_t) {
                     self->OnWritten(error);
                   });
}

void EventStream::OnWritten(const error_code& error) {
  writing_ = false;
  if (error) {
    // A write that failed at once went to a client that left.
    stalled_ = error == boost::beast::error::timeout;
    End();
    return;
  }
  quiet_.expires_after(kQuiet);
  quiet_.async_wait([self = shared_from_this()](const error_code& restarted) {
    if (!restarted && !self->writing_ && !self->ended_) {
      self->Write(":\n\n");
    }
  });
  Pump();
}

void EventStream::End() {
  ended_ = true;
  quiet_.cancel();
  stream_.close();
}

}  // namespace serve
