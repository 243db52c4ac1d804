// After an upgrade has begun to write a receiver: what it came to, and whether the way back
// (the file that holds the old software, and the command that writes it) is offered. One
// rule for every way an upgrade can end, so that it is read in one place.
#pragma once

#include <cstdint>
#include <string>

namespace cli {

// How the write and its read-back ended.
enum class UpgradeEnding {
  kWriteFailed,  // the write ended early: a time-out, a wrong answer, a pulled cable, Ctrl-C
  kNotVerified,  // every block taken, and no read-back asked for
  kVerified,     // read back: the file
  kNoAnswer,     // silent after its restart
  kReadFailed,   // the read-back ended without the flash
  kInterrupted,  // Ctrl-C, or the session ended, after the write
  kUndecided,    // read back: blocks (or the kind) that came differently each time
  kOtherKind,    // read back: a receiver that reports another kind, twice
  kFileButFor,   // read back: the file but for blocks; the write shows
  kOldSoftware,  // read back: the old software, exactly
  kNeither,      // read back: neither the file nor the old software
};

struct WayBack {
  std::string result;          // for the summary: "ok", "verify failed: ..."
  bool told = false;           // the result is a message of its own
  bool offered = false;        // the old software's file and the command that writes it back
  bool otherReceiver = false;  // another receiver is on the port, proven
};

// blocksSent: the blocks that went out; details: what the ending's words leave open (the
// failure, the blocks, the proof).
WayBack DecideWayBack(std::uint32_t blocksSent, UpgradeEnding ending, const std::string& details);

// The command that writes file into whichever receiver is on port. It is an upgrade, which
// reads a proven backup of that receiver first: run on another box than the one the file
// came from, it costs nothing but time, and one that holds the file already is left alone.
std::string RestoreCommand(const std::string& port, int baud, const std::string& file);

}  // namespace cli
