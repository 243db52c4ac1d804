#include "cli/transfers/flash_verifier.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "cli/transfers/proven_read.h"
#include "romimage/receiver_variant_table.h"
#include "ui/headless/console_host.h"

namespace cli {

namespace {

bool Matches(const FlashCopy& copy, const std::vector<std::uint8_t>& data, std::uint32_t k) {
  return SameBlock(BlockOf(copy.data, k), BlockOf(data, k));
}

bool Alike(const FlashCopy& a, const FlashCopy& b, std::uint32_t k) {
  return SameBlock(BlockOf(a.data, k), BlockOf(b.data, k));
}

bool Contains(const std::vector<std::uint32_t>& blocks, std::uint32_t k) {
  return std::find(blocks.begin(), blocks.end(), k) != blocks.end();
}

}  // namespace

FlashVerifier::FlashVerifier(FlashReader& reader, EventReporter& reporter, RestartWait* restart)
    : reader_(reader), reporter_(reporter), restart_(restart) {}

bool FlashVerifier::ReadBack(int number, int variant, FlashCopy& copy, FlashVerdict& verdict) {
  if (number > 1) {
    std::this_thread::sleep_for(kSettleBetweenPasses);
  }
  for (;;) {
    reporter_.Pass(number);
    copy = reader_.Read(variant);
    verdict.reads = number;
    // A read that ended at another kind has told all it can.
    if (copy.outcome.Done() ||
        (copy.outcome.ending == comm::Outcome::Ending::kVersionMismatch && copy.variant >= 0)) {
      return true;
    }
    verdict.outcome = copy.outcome;
    verdict.result = FlashVerdict::Result::kReadFailed;
    // A receiver that answered once and then went quiet to restart is waited for again.
    const bool silent = copy.outcome.ending == comm::Outcome::Ending::kNoAnswer ||
                        copy.outcome.ending == comm::Outcome::Ending::kPortFailed;
    if (restart_ == nullptr || !silent || ui::ConsoleHost::CancelRequested() ||
        !restart_->TimeLeft()) {
      return false;
    }
    reporter_.Message("the receiver stopped answering: waiting for it to restart");
    reporter_.Stage("restart");
    const bool back = restart_->Run();
    reporter_.Stage("verify");
    if (!back) {
      if (!ui::ConsoleHost::CancelRequested()) {
        verdict.result = FlashVerdict::Result::kNoAnswer;
      }
      return false;
    }
  }
}

FlashVerdict FlashVerifier::Run(const std::vector<std::uint8_t>& data, int variant, bool once,
                                const std::vector<std::uint8_t>* backup) {
  FlashVerdict verdict;
  verdict.reportedVariant = variant;
  const std::uint32_t blocks = romimage::ReceiverVariantTable[variant].blockCount;
  FlashCopy first;
  FlashCopy second;
  FlashCopy third;
  if (!ReadBack(1, variant, first, verdict)) {
    return verdict;
  }
  // A read of another kind proves no block.
  std::vector<std::uint32_t> wrong;
  for (std::uint32_t k = 0; k < blocks; ++k) {
    if (!Matches(first, data, k)) {
      wrong.push_back(k);
    }
  }
  if (first.variant == variant && wrong.empty()) {
    verdict.result = FlashVerdict::Result::kVerified;
    verdict.proof = "read back: every block matches";
    verdict.flash = data;
    return verdict;
  }
  if (once) {
    verdict.result = FlashVerdict::Result::kDiffers;
    verdict.kindDiffers = first.variant != variant;
    if (verdict.kindDiffers) {
      verdict.reportedVariant = first.variant;
    } else {
      verdict.differing = wrong;
    }
    verdict.proof = "read back once, not proven";
    return verdict;
  }

  // The kind counts when two reads name it; what a second read repeats is in the flash, and
  // what it reads as the file was noise. The blocks that differ keep the content the reads
  // agree on.
  if (!ReadBack(2, variant, second, verdict)) {
    return verdict;
  }
  int kind = first.variant == second.variant ? first.variant : -1;
  std::map<std::uint32_t, const std::uint8_t*> held;
  std::vector<std::uint32_t> open;
  if (kind < 0 || kind == variant) {
    for (const std::uint32_t k : wrong) {
      if (Matches(second, data, k)) {
        verdict.noise.push_back(k);
      } else if (Alike(first, second, k)) {
        verdict.differing.push_back(k);
        held[k] = BlockOf(first.data, k);
      } else {
        open.push_back(k);
      }
    }
  }
  if ((kind < 0 || !open.empty()) && ReadBack(3, variant, third, verdict)) {
    if (kind < 0 && (third.variant == first.variant || third.variant == second.variant)) {
      kind = third.variant;
    }
    for (const std::uint32_t k : open) {
      if (Matches(third, data, k)) {
        verdict.noise.push_back(k);
      } else if (Alike(third, first, k) || Alike(third, second, k)) {
        verdict.differing.push_back(k);
        held[k] = BlockOf(third.data, k);
      } else {
        verdict.undecided.push_back(k);
      }
    }
    std::sort(verdict.noise.begin(), verdict.noise.end());
    std::sort(verdict.differing.begin(), verdict.differing.end());
  } else if (verdict.reads == 3) {
    return verdict;  // the third read failed
  }
  const std::string reads = verdict.reads == 2 ? "read back twice" : "read back 3 times";
  if (kind != variant) {
    // Reads of another kind prove nothing of the blocks.
    verdict.differing.clear();
    verdict.noise.clear();
    verdict.undecided.clear();
    held.clear();
  }
  if (kind >= 0 && kind != variant) {
    verdict.kindDiffers = true;
    verdict.reportedVariant = kind;
    verdict.result = FlashVerdict::Result::kDiffers;
    verdict.proof = reads + ": the receiver reports another kind";
  } else if (kind < 0) {
    verdict.result = FlashVerdict::Result::kUndecided;
    verdict.proof = reads + ": the kind read differently each time";
  } else if (!verdict.differing.empty()) {
    verdict.result = FlashVerdict::Result::kDiffers;
    verdict.proof = reads + ": " + NameBlocks(verdict.differing) + " differ" +
                    (verdict.differing.size() == 1 ? "s" : "") + " in the flash";
  } else if (!verdict.undecided.empty()) {
    verdict.result = FlashVerdict::Result::kUndecided;
    verdict.proof = reads + ": " + NameBlocks(verdict.undecided) + " read differently each time";
  } else {
    verdict.result = FlashVerdict::Result::kVerified;
    verdict.proof = reads + ": " +
                    (verdict.noise.empty() ? std::string("the kind") : NameBlocks(verdict.noise)) +
                    " read wrong once (noise)";
  }

  if (kind == variant && verdict.undecided.empty() && !once) {
    verdict.flash = data;
    for (const auto& [k, block] : held) {
      std::memcpy(verdict.flash.data() + std::size_t{k} * romimage::kBlockSize, block,
                  romimage::kBlockSize);
    }
  }
  // After an upgrade, what the flash holds instead of the file. The blocks in which the file
  // and the backup differ tell: one that holds the file's data shows the write; a flash whose
  // every differing block is the backup's kept the old software.
  const bool judged = verdict.result == FlashVerdict::Result::kDiffers ||
                      verdict.result == FlashVerdict::Result::kUndecided;
  if (!judged || kind != variant || backup == nullptr || backup->size() != data.size()) {
    return verdict;
  }
  for (std::uint32_t k = 0; k < blocks && !verdict.showsWrite; ++k) {
    verdict.showsWrite = !SameBlock(BlockOf(data, k), BlockOf(*backup, k)) &&
                         !Contains(verdict.differing, k) && !Contains(verdict.undecided, k);
  }
  verdict.asBefore = !verdict.showsWrite && verdict.undecided.empty() &&
                     std::all_of(held.begin(), held.end(), [&](const auto& block) {
                       return SameBlock(block.second, BlockOf(*backup, block.first));
                     });
  return verdict;
}

}  // namespace cli
