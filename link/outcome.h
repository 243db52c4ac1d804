// How a procedure dialog ended, as a value its caller reads after the run, and its progress
// as numbers. The texts a dialog shows are for people; no caller needs to read them.
#pragma once

#include <cstdint>
#include <string>

#include "link/port_failure.h"

namespace comm {

struct Outcome {
  enum class Ending {
    kDone,
    kCancelled,        // the user ended it, or it never started (no file chosen)
    kPortFailed,       // the port could not be opened
    kNoAnswer,         // no answer, or a wrong one
    kVersionMismatch,  // the receiver is of another kind than the file
    kBadRomFile,       // the file could not be loaded or is no ROM image
    kFileNotWritten,
    kNoMemory,
  };

  Ending ending = Ending::kCancelled;
  std::string message;       // what the user was shown about it; empty when nothing
  int fileVariant = -1;      // the ROM file's variant, once known
  int receiverVariant = -1;  // the variant the receiver reported, once it did
  std::uint32_t blocksDone = 0;
  std::uint32_t blockCount = 0;
  // An upgrade's blocks that went out to the receiver: from the first, its flash may no
  // longer hold what it held.
  std::uint32_t blocksSent = 0;
  // For kPortFailed: why, as the system told it; the message above stays the program's own.
  PortFailure portFailure = PortFailure::kNone;
  std::string portFailureDetail;

  bool Done() const { return ending == Ending::kDone; }
};

// Told of every block a transfer has moved: done of count.
class ProgressListener {
 public:
  virtual ~ProgressListener() = default;
  virtual void BlocksDone(std::uint32_t done, std::uint32_t count) = 0;
};

}  // namespace comm
