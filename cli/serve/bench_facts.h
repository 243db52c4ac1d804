// What the bench page knows of a run before its first event: the command, the version and
// each port with its adapter.
#pragma once

#include <string>
#include <vector>

namespace serve {

struct BenchPort {
  std::string label;    // as every event names the port
  std::string adapter;  // as probe names it; empty when the system says nothing of it
};

struct BenchFacts {
  std::string command;  // the command line, as a user would type it again
  std::string action;   // what each receiver gets: "upgrade" or "read"
  std::string version;
  std::vector<BenchPort> ports;
};

}  // namespace serve
