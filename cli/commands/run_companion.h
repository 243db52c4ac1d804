// vesker-link: the command-line companion of Vesker Link, for benches and scripts. The
// platform's entry point hands it the arguments as UTF-8.
#pragma once

#include <string>
#include <vector>

namespace cli {

// The whole program; returns its exit code.
int RunCompanion(const std::vector<std::string>& args);

}  // namespace cli
