// A read of the receiver's flash that is proven, since the line carries no checksum: two
// reads that agree are the flash; when they differ, a third read decides each block by the
// two copies that agree, and a block with no two equal copies fails the read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/transfers/flash_reader.h"
#include "cli/transfers/known_images.h"

namespace cli {

struct ProvenFlash {
  comm::Outcome outcome;  // Done when proven; else the failed read's ending
  int variant = -1;
  std::vector<std::uint8_t> data;
  int reads = 0;
  // How it was proven, for the user and the log: "2 reads agree", "block 100 taken from 2
  // of 3 reads", "equals backup-RomFtaAMD1-20261207-142423.bin", "read once, not proven".
  std::string proof;
  std::string known;                     // the file of the known image that one read equals
  std::vector<std::uint32_t> repaired;   // blocks two of three reads agreed on
  std::vector<std::uint32_t> undecided;  // blocks no two reads agreed on
  bool kindUndecided = false;            // no two reads reported the same kind
};

// Data that one read alone proves by equalling them exactly, and the proof it then gives:
// the file an upgrade writes, the flash a port last read.
struct ExpectedImage {
  const std::vector<std::uint8_t>* data;
  int variant;
  const char* proof;  // "1 read equal to the file"
};

class ProvenRead {
 public:
  // once: a single read, taken as it came. known: images that one read alone proves by
  // equalling one exactly (noise on the line never makes a copy exactly equal to other
  // data); null: none.
  ProvenRead(FlashReader& reader, EventReporter& reporter, bool once,
             const KnownImages* known = nullptr);

  // expected: images one read alone proves too. A receiver that names another kind than
  // kind is not read further, and two reads that name the same kind prove it (the flash then
  // holds no data); -1: any kind is read whole.
  ProvenFlash Run(const std::vector<ExpectedImage>& expected = {}, int kind = -1);

 private:
  FlashCopy ReadPass(int number, int expectedVariant);

  FlashReader& reader_;
  EventReporter& reporter_;
  bool once_;
  const KnownImages* known_;
};

// "block 7", "blocks 3, 7-9 and 12": blocks as a user reads them.
std::string NameBlocks(const std::vector<std::uint32_t>& blocks);

}  // namespace cli
