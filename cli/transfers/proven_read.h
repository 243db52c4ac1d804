// A read of the receiver's flash that is proven, since the line carries no checksum: two
// reads that agree are the flash; when they differ, a third read decides each block by the
// two copies that agree, and a block with no two equal copies fails the read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/transfers/flash_reader.h"

namespace cli {

struct ProvenFlash {
  comm::Outcome outcome;  // Done when proven; else the failed read's ending
  int variant = -1;
  std::vector<std::uint8_t> data;
  int reads = 0;
  // How it was proven, for the user and the log: "2 reads agree", "block 100 taken from 2
  // of 3 reads", "read once, not proven".
  std::string proof;
  std::vector<std::uint32_t> repaired;   // blocks two of three reads agreed on
  std::vector<std::uint32_t> undecided;  // blocks no two reads agreed on
  bool kindUndecided = false;            // no two reads reported the same kind
};

class ProvenRead {
 public:
  // once: a single read, taken as it came.
  ProvenRead(FlashReader& reader, EventReporter& reporter, bool once);

  // expected: data that one read alone proves by equalling them exactly (noise on the line
  // never makes a copy exactly equal to other data), such as the file an upgrade writes.
  ProvenFlash Run(const std::vector<std::uint8_t>* expected = nullptr, int expectedVariant = -1);

 private:
  FlashCopy ReadPass(int number);

  FlashReader& reader_;
  EventReporter& reporter_;
  bool once_;
};

// "block 7", "blocks 3, 7-9 and 12": blocks as a user reads them.
std::string NameBlocks(const std::vector<std::uint32_t>& blocks);

}  // namespace cli
