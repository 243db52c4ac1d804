// One read of a receiver's whole flash with the program's own read dialog, kept in memory.
// The dialog writes a ROM file; this one is a scratch file in the system's temporary folder,
// taken in and removed again before the read returns, whatever became of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/console/event_reporter.h"
#include "link/outcome.h"
#include "ui/headless/console_host.h"

namespace cli {

// Between two passes over the line (reads, or a read and the upgrade) the receiver gets the
// moment a user's next click would give it.
constexpr auto kSettleBetweenPasses = std::chrono::milliseconds(300);

// What one read gave: the dialog's outcome and, when it is done, the receiver's kind and
// its flash (the blocks, without the file's tag).
struct FlashCopy {
  comm::Outcome outcome;
  int variant = -1;
  std::vector<std::uint8_t> data;
};

// Block k of a flash's bytes, or null when they hold no such block (a read of another size,
// or one that ended at the kind).
const std::uint8_t* BlockOf(const std::vector<std::uint8_t>& flash, std::uint32_t k);
// Whether two blocks are there and alike.
bool SameBlock(const std::uint8_t* a, const std::uint8_t* b);

class FlashReader {
 public:
  // label: the port as part of a file name, so that the scratch files of several ports are
  // told apart.
  FlashReader(ui::ConsoleHost& host, EventReporter& reporter, std::int32_t portIndex, int baud,
              std::string label);

  // expectedKind: a receiver that reports another kind is not read further; the copy then
  // holds that kind and no data (its outcome kVersionMismatch). -1: any kind is read.
  FlashCopy Read(int expectedKind = -1);

 private:
  ui::ConsoleHost& host_;
  EventReporter& reporter_;
  std::int32_t portIndex_;
  int baud_;
  std::string label_;
};

}  // namespace cli
