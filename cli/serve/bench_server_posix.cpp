#include <unistd.h>

#include <memory>
#include <optional>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "cli/serve/bench_server.h"
#include "cli/serve/event_hub.h"
#include "cli/serve/listen_address.h"
#include "cli/serve/listener.h"
#include "cli/serve/served_names.h"

namespace serve {

namespace {

namespace net = boost::asio;

// Event streams at once: a bench's screens and a few people's tools, with room to spare.
constexpr std::size_t kStreams = 64;

// This machine's name, as a browser on the bench's network may reach it by.
std::string MachineName() {
  char name[256] = {};
  if (::gethostname(name, sizeof(name) - 1) != 0) {
    return {};
  }
  return name;
}

}  // namespace

// Every connection is served on one thread of the server's own, none of them ever waited
// for: stopping the thread, and letting go of what it served, ends them all at once.
class BenchServer::Impl {
 public:
  explicit Impl(const BenchFacts& facts) : hub_(facts, kStreams) {}
  ~Impl() { Stop(); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  bool Start(const std::string& host, int port, std::string& error);
  int Port() const { return port_; }
  const std::string& ReachNote() const { return reachNote_; }
  void Publish(std::string line) { hub_.Publish(std::move(line)); }
  void Stop();

 private:
  void Run();

  EventHub hub_;
  std::optional<ServedNames> names_;  // outlives every connection, which reads it
  std::unique_ptr<net::io_context> io_;
  std::weak_ptr<Listener> listener_;  // held by its own accepting and its connections
  std::thread thread_;
  int port_ = 0;
  std::string reachNote_;
  bool stopped_ = false;
};

bool BenchServer::Impl::Start(const std::string& host, int port, std::string& error) {
  io_ = std::make_unique<net::io_context>(1);
  net::ip::tcp::acceptor acceptor(*io_);
  if (std::string reason; !ListenOn(acceptor, host, port, reason)) {
    error = "cannot serve " + host + ":" + std::to_string(port) + ": " + reason;
    return false;
  }
  boost::system::error_code unknown;
  const net::ip::tcp::endpoint bound = acceptor.local_endpoint(unknown);
  port_ = bound.port();
  if (bound.address().is_unspecified()) {
    reachNote_ = " (open to anyone on this machine's networks, with no password)";
  } else if (!bound.address().is_loopback()) {
    reachNote_ = " (open to anyone on that network, with no password)";
  }
  names_.emplace(host, bound.address(), port_, MachineName());
  const auto listener = std::make_shared<Listener>(std::move(acceptor), hub_, *names_);
  listener_ = listener;
  listener->Start();
  thread_ = std::thread([this] { Run(); });
  return true;
}

void BenchServer::Impl::Run() {
  const auto work = net::make_work_guard(*io_);
  while (!io_->stopped()) {
    // A connection whose handler throws costs itself only.
    try {
      io_->run();
    } catch (...) {
    }
  }
}

void BenchServer::Impl::Stop() {
  if (stopped_) {
    return;
  }
  stopped_ = true;
  hub_.Stop();
  if (io_ == nullptr) {
    return;
  }
  io_->stop();
  if (thread_.joinable()) {
    thread_.join();
  }
  if (const auto listener = listener_.lock()) {
    listener->Close();
  }
  // Every connection goes with the handlers that hold it, now, whatever its client does.
  io_.reset();
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

std::string BenchServer::ReachNote() const {
  return impl_->ReachNote();
}

void BenchServer::Publish(std::string line) {
  impl_->Publish(std::move(line));
}

void BenchServer::Stop() {
  impl_->Stop();
}

}  // namespace serve
