#include "cli/serve/bench_server.h"

namespace serve {

// The Linux build serves with Boost.Beast and Boost.Asio, which this build is not given, so
// the bench is not served here.
class BenchServer::Impl {};

BenchServer::BenchServer(const BenchFacts& /*facts*/) {}

BenchServer::~BenchServer() = default;

bool BenchServer::Available() {
  return false;
}

bool BenchServer::Start(const std::string& /*host*/, int /*port*/, std::string& error) {
  error = "this build of vesker-link does not serve the bench page";
  return false;
}

int BenchServer::Port() const {
  return 0;
}

std::string BenchServer::ReachNote() const {
  return {};
}

void BenchServer::Publish(std::string /*line*/) {}

void BenchServer::Stop() {}

}  // namespace serve
