// How vesker-link ends, as scripts and benches read it.
#pragma once

namespace cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitReceiver = 1,  // time-out, wrong answer, variant mismatch, blocks that differ
  kExitUsage = 2,
  kExitRomFile = 3,
  kExitPort = 4,
  kExitFileWrite = 5,
};

}  // namespace cli
