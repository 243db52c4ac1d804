#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

#include <httplib.h>

#include "cli/serve/bench_server.h"
#include "cli/serve/connection_pool.h"
#include "cli/serve/event_hub.h"
#include "cli/serve/page_assets.h"

namespace serve {

namespace {

// Event streams at once: a bench's screens and a few people's tools, with room to spare.
constexpr std::size_t kStreams = 64;
// Workers beyond the streams serve pages and scrapes; a few more connections may wait.
constexpr std::size_t kWorkers = kStreams + 8;
constexpr std::size_t kQueued = 16;
// A client idle for this long gets a comment line, so that a dead one is noticed.
constexpr auto kKeepAlive = std::chrono::seconds(15);
// Each stream looks this often whether the server stops.
constexpr auto kPoll = std::chrono::milliseconds(250);
constexpr time_t kTimeoutSeconds = 5;
constexpr auto kStalled = std::chrono::seconds(kTimeoutSeconds) - std::chrono::milliseconds(500);
constexpr int kSendBuffer = 64 * 1024;

// Why host:port cannot be listened on, as the system says it (the library says only that
// it could not).
std::string ListenFailure(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int failure = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
      failure != 0) {
    return ::gai_strerror(failure);
  }
  std::string reason = "cannot listen there";
  for (addrinfo* address = found; address != nullptr; address = address->ai_next) {
    const int fd = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (fd < 0) {
      reason = std::generic_category().message(errno);
      continue;
    }
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    const bool bound =
        ::bind(fd, address->ai_addr, address->ai_addrlen) == 0 && ::listen(fd, 1) == 0;
    if (!bound) {
      reason = std::generic_category().message(errno);
    }
    ::close(fd);
  }
  ::freeaddrinfo(found);
  return reason;
}

void SocketOptions(int fd) {
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  // Accepted connections take this on: a client that stops reading fills it soon, and its
  // stream is then dropped within the write time-out rather than buffered for long.
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof(kSendBuffer));
}

std::string StatusText(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 404:
      return "not found";
    case 405:
      return "only GET";
    case 413:
      return "request too large";
    case 414:
      return "request line too long";
    default:
      return "cannot serve this request";
  }
}

void Plain(httplib::Response& response, int status, const std::string& text) {
  response.status = status;
  response.set_content(text + "\n", "text/plain; charset=utf-8");
}

}  // namespace

class BenchServer::Impl {
 public:
  explicit Impl(const BenchFacts& facts) : hub_(facts, kStreams) {}
  ~Impl() { Stop(); }

  bool Start(const std::string& host, int port, std::string& error);
  int Port() const { return port_; }
  void Publish(std::string line) { hub_.Publish(std::move(line)); }
  void Stop();

 private:
  void Routes();
  void Stream(const httplib::Request& request, httplib::Response& response);

  EventHub hub_;
  httplib::Server server_;
  std::thread listener_;
  std::atomic<bool> stopping_{false};
  int port_ = 0;
};

void BenchServer::Impl::Routes() {
  server_.new_task_queue = [] { return new ConnectionPool(kWorkers, kQueued); };
  server_.set_socket_options(SocketOptions);
  server_.set_read_timeout(kTimeoutSeconds);
  server_.set_write_timeout(kTimeoutSeconds);
  server_.set_keep_alive_timeout(kTimeoutSeconds);
  server_.set_payload_max_length(1024);
  server_.set_default_headers(
      {{"X-Content-Type-Options", "nosniff"},
       {"Cache-Control", "no-store"},
       {"Content-Security-Policy",
        "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'"}});
  // Read-only: nothing but GET, and before anything of the request's body is read.
  server_.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
    if (request.method == "GET") {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    response.set_header("Allow", "GET");
    Plain(response, 405, StatusText(405));
    return httplib::Server::HandlerResponse::Handled;
  });
  server_.set_error_handler([](const httplib::Request& /*request*/, httplib::Response& response) {
    if (response.body.empty()) {
      Plain(response, response.status, StatusText(response.status));
    }
  });
  server_.Get("/events", [this](const httplib::Request& request, httplib::Response& response) {
    Stream(request, response);
  });
  server_.Get("/metrics", [this](const httplib::Request& /*request*/, httplib::Response& response) {
    response.set_content(hub_.Metrics(), "text/plain; version=0.0.4; charset=utf-8");
  });
  server_.Get(".*", [](const httplib::Request& request, httplib::Response& response) {
    const PageAsset* asset = FindPageAsset(request.path);
    if (asset == nullptr) {
      Plain(response, 404, StatusText(404));
      return;
    }
    response.set_content(reinterpret_cast<const char*>(asset->data), asset->size, asset->type);
  });
}

void BenchServer::Impl::Stream(const httplib::Request& /*request*/, httplib::Response& response) {
  std::shared_ptr<EventClient> client = hub_.Subscribe();
  if (client == nullptr) {
    Plain(response, 503, "too many clients of the event stream");
    return;
  }
  auto stalled = std::make_shared<bool>(false);
  response.set_chunked_content_provider(
      "text/event-stream",
      [this, client, stalled, last = std::chrono::steady_clock::now(), begun = false](
          std::size_t /*offset*/, httplib::DataSink& sink) mutable {
        std::string text;
        if (!begun) {
          // A browser that lost the bench asks again after two seconds.
          text = "retry: 2000\n\n";
          begun = true;
        }
        std::vector<std::string> lines;
        while (text.empty()) {
          if (stopping_ || !client->Take(lines, kPoll)) {
            return false;
          }
          for (const std::string& line : lines) {
            text += "data: " + line + "\n\n";
          }
          if (text.empty() && std::chrono::steady_clock::now() - last >= kKeepAlive) {
            text = ":\n\n";
          }
        }
        const auto before = std::chrono::steady_clock::now();
        if (sink.write(text.data(), text.size())) {
          last = std::chrono::steady_clock::now();
          return true;
        }
        // A write that waited out the time-out went to a client that stopped reading; one
        // that failed at once went to a client that left.
        *stalled = std::chrono::steady_clock::now() - before >= kStalled;
        return false;
      },
      [this, client, stalled](bool /*success*/) { hub_.Unsubscribe(client, *stalled); });
}

bool BenchServer::Impl::Start(const std::string& host, int port, std::string& error) {
  Routes();
  const int bound = port == 0                          ? server_.bind_to_any_port(host)
                    : server_.bind_to_port(host, port) ? port
                                                       : -1;
  if (bound <= 0) {
    error = "cannot serve " + host + ":" + std::to_string(port) + ": " + ListenFailure(host, port);
    return false;
  }
  port_ = bound;
  listener_ = std::thread([this] { server_.listen_after_bind(); });
  return true;
}

void BenchServer::Impl::Stop() {
  if (stopping_.exchange(true)) {
    return;
  }
  hub_.Stop();
  server_.stop();
  if (listener_.joinable()) {
    listener_.join();
  }
}

BenchServer::BenchServer(const BenchFacts& facts) : impl_(std::make_unique<Impl>(facts)) {}

BenchServer::~BenchServer() = default;

bool BenchServer::Available() {
  return true;
}

bool BenchServer::Start(const std::string& host, int port, std::string& error) {
  return impl_->Start(host, port, error);
}

int BenchServer::Port() const {
  return impl_->Port();
}

void BenchServer::Publish(std::string line) {
  impl_->Publish(std::move(line));
}

void BenchServer::Stop() {
  impl_->Stop();
}

}  // namespace serve
