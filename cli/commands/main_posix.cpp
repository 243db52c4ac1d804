#include <string>
#include <vector>

#include "cli/commands/run_companion.h"

int main(int argc, char** argv) {
  return cli::RunCompanion(std::vector<std::string>(argv + 1, argv + argc));
}
