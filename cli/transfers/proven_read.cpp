#include "cli/transfers/proven_read.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "romimage/file_system.h"
#include "romimage/receiver_variant_table.h"

namespace cli {

std::string NameBlocks(const std::vector<std::uint32_t>& blocks) {
  std::vector<std::string> runs;
  for (std::size_t i = 0; i < blocks.size();) {
    std::size_t j = i;
    while (j + 1 < blocks.size() && blocks[j + 1] == blocks[j] + 1) {
      ++j;
    }
    runs.push_back(j == i ? std::to_string(blocks[i])
                          : std::to_string(blocks[i]) + "-" + std::to_string(blocks[j]));
    i = j + 1;
  }
  std::string text = blocks.size() == 1 ? "block " : "blocks ";
  for (std::size_t i = 0; i < runs.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == runs.size() ? " and " : ", ") + runs[i];
  }
  return text;
}

ProvenRead::ProvenRead(FlashReader& reader, EventReporter& reporter, bool once,
                       const KnownImages* known)
    : reader_(reader), reporter_(reporter), once_(once), known_(known) {}

FlashCopy ProvenRead::ReadPass(int number, int expectedVariant) {
  if (number > 1) {
    std::this_thread::sleep_for(kSettleBetweenPasses);
  }
  reporter_.Pass(number);
  return reader_.Read(expectedVariant);
}

ProvenFlash ProvenRead::Run(const std::vector<ExpectedImage>& expected, int kind) {
  ProvenFlash proven;
  std::vector<FlashCopy> copies;
  // One more read; false when it failed, which fails the whole read with its ending.
  auto readAgain = [&]() {
    copies.push_back(ReadPass(static_cast<int>(copies.size()) + 1, kind));
    proven.reads = static_cast<int>(copies.size());
    proven.outcome = copies.back().outcome;
    // A read that ended at another kind counts for its kind, and holds no data.
    const bool otherKind = proven.outcome.ending == comm::Outcome::Ending::kVersionMismatch &&
                           copies.back().variant >= 0;
    if (otherKind) {
      proven.outcome = comm::Outcome();
      proven.outcome.ending = comm::Outcome::Ending::kDone;
    }
    return proven.outcome.Done();
  };
  auto take = [&](FlashCopy& copy, const char* proof) {
    proven.variant = copy.variant;
    proven.data = std::move(copy.data);
    proven.proof = proof;
  };

  if (!readAgain()) {
    return proven;
  }
  if (once_) {
    take(copies[0], "read once, not proven");
    return proven;
  }
  // A read equal, byte for byte, to an image it may equal is proven by itself: the first,
  // or a later one when noise spoiled the first.
  const auto equalsAnImage = [&](FlashCopy& copy) {
    for (const ExpectedImage& image : expected) {
      if (image.data != nullptr && copy.variant == image.variant && copy.data == *image.data) {
        take(copy, image.proof);
        return true;
      }
    }
    if (known_ != nullptr) {
      if (const auto image = known_->Find(copy.variant, copy.data)) {
        proven.known = image->path;
        const std::string proof =
            "equals " + romimage::PathUtf8(romimage::Utf8Path(image->path).filename());
        take(copy, proof.c_str());
        return true;
      }
    }
    return false;
  };
  if (equalsAnImage(copies[0]) || !readAgain()) {
    return proven;
  }
  if (copies[0].variant == copies[1].variant && copies[0].data == copies[1].data) {
    take(copies[0], "2 reads agree");
    return proven;
  }
  if (equalsAnImage(copies[1])) {
    return proven;
  }
  if (!readAgain()) {
    return proven;
  }

  // The kind, then each block, by two copies that agree.
  const FlashCopy* voted = nullptr;
  for (std::size_t a = 0; a < 3 && voted == nullptr; ++a) {
    for (std::size_t b = a + 1; b < 3; ++b) {
      if (copies[a].variant == copies[b].variant) {
        voted = &copies[a];
        break;
      }
    }
  }
  if (voted == nullptr) {
    proven.kindUndecided = true;
    proven.outcome.ending = comm::Outcome::Ending::kNoAnswer;
    proven.outcome.message = "the receiver named another kind in each of 3 reads";
    return proven;
  }
  proven.variant = voted->variant;
  if (kind >= 0 && voted->variant != kind) {
    proven.proof = "the kind taken from 2 of 3 reads";  // another kind: no data to prove
    return proven;
  }
  const std::uint32_t blocks = romimage::ReceiverVariantTable[voted->variant].blockCount;
  proven.data.resize(std::size_t{blocks} * romimage::kBlockSize);
  for (std::uint32_t block = 0; block < blocks; ++block) {
    const std::uint8_t* copy[3] = {BlockOf(copies[0].data, block), BlockOf(copies[1].data, block),
                                   BlockOf(copies[2].data, block)};
    const std::uint8_t* agreed = SameBlock(copy[0], copy[1])   ? copy[0]
                                 : SameBlock(copy[0], copy[2]) ? copy[0]
                                 : SameBlock(copy[1], copy[2]) ? copy[1]
                                                               : nullptr;
    if (agreed == nullptr) {
      proven.undecided.push_back(block);
      continue;
    }
    if (!SameBlock(copy[0], copy[1])) {
      proven.repaired.push_back(block);
    }
    std::memcpy(proven.data.data() + std::size_t{block} * romimage::kBlockSize, agreed,
                romimage::kBlockSize);
  }
  if (!proven.undecided.empty()) {
    proven.data.clear();
    proven.outcome.ending = comm::Outcome::Ending::kNoAnswer;
    proven.outcome.message = NameBlocks(proven.undecided) + " came differently in each of 3 reads";
    return proven;
  }
  proven.proof = proven.repaired.empty() ? "the kind taken from 2 of 3 reads"
                                         : NameBlocks(proven.repaired) + " taken from 2 of 3 reads";
  return proven;
}

}  // namespace cli
