// The bench page, its event stream and its metrics, served over HTTP while a production
// bench runs. It only reads what the bench reports: the bench hands it each event as --json
// prints it, one line each, and never waits for the network. Read-only (GET and HEAD), with
// the page's files built in, only the bench's own names answered, a bounded number of
// connections each bounded in size and time, and clients that stop reading dropped.
#pragma once

#include <memory>
#include <string>

#include "cli/serve/bench_facts.h"

namespace serve {

class BenchServer {
 public:
  explicit BenchServer(const BenchFacts& facts);
  ~BenchServer();
  BenchServer(const BenchServer&) = delete;
  BenchServer& operator=(const BenchServer&) = delete;

  // Whether this build can serve at all.
  static bool Available();

  // Listens on host:port (0: a free port the system picks) and serves from then on, on
  // threads of its own; false with the system's reason when the address cannot be served.
  bool Start(const std::string& host, int port, std::string& error);
  // The port it listens on, once started.
  int Port() const;
  // What is said after the page's address: nothing when only this machine may look;
  // otherwise that anyone on that network may open the page, with no password.
  std::string ReachNote() const;
  // One event, as --json prints it. Safe from any thread; it only hands the line over.
  void Publish(std::string line);
  // Ends every connection and stops listening at once, waiting for no client; also when
  // this goes.
  void Stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace serve
