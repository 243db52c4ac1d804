// Whether the receiver's flash holds a file's data, proven against noise on the line: a
// read that matches the file proves a block; a difference counts only when a second read
// repeats it, and when the second read gives a third version a third read decides. A read
// ends as soon as the receiver names another kind than the file's. After an upgrade a read
// that finds the receiver silent (it restarts late, or again) waits for it, within the same
// bound, and reads again; and what a flash that differs holds instead is told: the file but
// for some blocks, or the old software.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/transfers/flash_reader.h"
#include "cli/transfers/restart_wait.h"

namespace cli {

struct FlashVerdict {
  enum class Result {
    kVerified,    // every block is the file's
    kDiffers,     // blocks (or the kind) that two reads agree on differ from the file
    kUndecided,   // blocks that every read gave otherwise, and no two alike
    kReadFailed,  // a read ended without data: outcome says how
    kNoAnswer,    // the receiver did not answer again within the restart's bound
  };
  Result result = Result::kReadFailed;
  comm::Outcome outcome;
  int reads = 0;
  int reportedVariant = -1;              // the kind the reads agree on
  bool kindDiffers = false;              // the receiver reports another kind than the file
  std::vector<std::uint32_t> differing;  // in the flash
  std::vector<std::uint32_t> noise;      // read wrong once, right another time
  std::vector<std::uint32_t> undecided;
  // After an upgrade with a backup: blocks hold the file's data where the backup's differed,
  // so this receiver took the write, if not all of it.
  bool showsWrite = false;
  // After an upgrade with a backup: every block that differs from the file holds the
  // backup's data, and none shows the write: the receiver kept the software it had.
  bool asBefore = false;
  std::string proof;  // how it was decided, for the user and the log
  // The flash as the reads proved it, where they decided its kind and every block (the file's
  // kind): the file, or the file with the blocks that differ as the flash holds them.
  std::vector<std::uint8_t> flash;
};

class FlashVerifier {
 public:
  // restart: the wait to enter again when the receiver falls silent, after an upgrade; null:
  // none (a verify on its own).
  FlashVerifier(FlashReader& reader, EventReporter& reporter, RestartWait* restart);

  // once: one read, its differences taken as they came. backup: after an upgrade, the flash
  // as it was before it (null: none was read).
  FlashVerdict Run(const std::vector<std::uint8_t>& data, int variant, bool once,
                   const std::vector<std::uint8_t>* backup = nullptr);

 private:
  // Read number n; false with the verdict's result and outcome set when it ended without
  // data or a kind.
  bool ReadBack(int number, int variant, FlashCopy& copy, FlashVerdict& verdict);

  FlashReader& reader_;
  EventReporter& reporter_;
  RestartWait* restart_;
};

}  // namespace cli
