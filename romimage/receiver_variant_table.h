// The sixteen receiver variants and everything that depends on them: the variant report
// frame, the 20-byte image tag, the block count and so the file size, the message for a tag
// that cannot be written, and the version name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "link/frames.h"

namespace romimage {

constexpr std::size_t kTagSize = 20;
constexpr std::size_t kBlockSize = 4096;
constexpr int kVariantCount = 16;

struct ReceiverVariant {
  int number;
  const char* productLine;  // Fta, CI, HCI, T
  const char* flashFamily;  // AMD, SST
  int sizeDigit;            // 1 or 2 MiB
  const char* imageTag;     // exactly 20 characters, no terminator in the file
  std::uint32_t blockCount;
  const char* tagWriteFailure;
  const char* versionName;

  std::uint32_t ImageSize() const { return blockCount * static_cast<std::uint32_t>(kBlockSize); }
  std::uint32_t FileLength() const { return static_cast<std::uint32_t>(kTagSize) + ImageSize(); }
};

extern const ReceiverVariant ReceiverVariantTable[kVariantCount];

// The receiver's three "go on" replies to an upgrade block come from one of two sets, by
// product line: Fta and T answer with one, CI and HCI with the other.
enum class ReplyFamily { kFtaT, kCiHci };
using ReplySet = std::array<comm::Frame, 3>;
ReplyFamily ReplyFamilyOf(int variant);
const ReplySet& AcknowledgementSet(ReplyFamily family);

// The variant whose tag equals all 20 bytes, first in table order; -1 for none.
int MatchImageTag(const std::uint8_t* tag);
// The variant whose report frame equals all 12 bytes, first in table order; -1 for none.
int MatchVariantReport(const std::uint8_t* frame);

}  // namespace romimage
