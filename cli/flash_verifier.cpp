#include "cli/flash_verifier.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "cli/proven_read.h"
#include "romimage/receiver_variant_table.h"
#include "ui/headless/console_host.h"

namespace cli {

namespace {

// Whether block k of a copy is the file's; a copy of another size has no such block.
bool BlockMatches(const FlashCopy& copy, const std::vector<std::uint8_t>& data, std::uint32_t k) {
  const std::size_t offset = std::size_t{k} * romimage::kBlockSize;
  return copy.data.size() >= offset + romimage::kBlockSize &&
         data.size() >= offset + romimage::kBlockSize &&
         std::memcmp(copy.data.data() + offset, data.data() + offset, romimage::kBlockSize) == 0;
}

bool SameBlock(const FlashCopy& a, const FlashCopy& b, std::uint32_t k) {
  const std::size_t offset = std::size_t{k} * romimage::kBlockSize;
  return a.data.size() >= offset + romimage::kBlockSize &&
         b.data.size() >= offset + romimage::kBlockSize &&
         std::memcmp(a.data.data() + offset, b.data.data() + offset, romimage::kBlockSize) == 0;
}

}  // namespace

FlashVerifier::FlashVerifier(FlashReader& reader, EventReporter& reporter, RestartWait* restart)
    : reader_(reader), reporter_(reporter), restart_(restart) {}

bool FlashVerifier::ReadBack(int number, FlashCopy& copy, FlashVerdict& verdict) {
  if (number > 1) {
    std::this_thread::sleep_for(kSettleBetweenPasses);
  }
  for (;;) {
    reporter_.Pass(number);
    copy = reader_.Read();
    verdict.reads = number;
    if (copy.outcome.Done()) {
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

FlashVerdict FlashVerifier::Run(const std::vector<std::uint8_t>& data, int variant, bool once) {
  FlashVerdict verdict;
  const std::uint32_t blocks = romimage::ReceiverVariantTable[variant].blockCount;
  FlashCopy first;
  if (!ReadBack(1, first, verdict)) {
    return verdict;
  }
  verdict.reportedVariant = variant;
  const bool kindWrong = first.variant != variant;
  std::vector<std::uint32_t> wrong;
  for (std::uint32_t k = 0; k < blocks; ++k) {
    if (!BlockMatches(first, data, k)) {
      wrong.push_back(k);
    }
  }
  if (!kindWrong && wrong.empty()) {
    verdict.result = FlashVerdict::Result::kVerified;
    verdict.proof = "read back: every block matches";
    return verdict;
  }
  if (once) {
    verdict.result = FlashVerdict::Result::kDiffers;
    verdict.kindDiffers = kindWrong;
    verdict.differing = wrong;
    verdict.proof = "read back once, not proven";
    return verdict;
  }

  // What a second read repeats is in the flash; what it reads as the file was noise.
  FlashCopy second;
  if (!ReadBack(2, second, verdict)) {
    return verdict;
  }
  std::vector<std::uint32_t> open;
  for (const std::uint32_t k : wrong) {
    if (BlockMatches(second, data, k)) {
      verdict.noise.push_back(k);
    } else if (SameBlock(first, second, k)) {
      verdict.differing.push_back(k);
    } else {
      open.push_back(k);
    }
  }
  bool kindOpen = false;
  if (kindWrong) {
    if (second.variant == first.variant) {
      verdict.kindDiffers = true;
      verdict.reportedVariant = first.variant;
    } else if (second.variant != variant) {
      kindOpen = true;
    }
  }
  if (!open.empty() || kindOpen) {
    FlashCopy third;
    if (!ReadBack(3, third, verdict)) {
      return verdict;
    }
    for (const std::uint32_t k : open) {
      if (BlockMatches(third, data, k)) {
        verdict.noise.push_back(k);
      } else if (SameBlock(third, first, k) || SameBlock(third, second, k)) {
        verdict.differing.push_back(k);
      } else {
        verdict.undecided.push_back(k);
      }
    }
    if (kindOpen && third.variant == variant) {
      kindOpen = false;
    } else if (kindOpen && (third.variant == first.variant || third.variant == second.variant)) {
      kindOpen = false;
      verdict.kindDiffers = true;
      verdict.reportedVariant = third.variant;
    }
    std::sort(verdict.noise.begin(), verdict.noise.end());
    std::sort(verdict.differing.begin(), verdict.differing.end());
  }
  const std::string reads = verdict.reads == 2 ? "read back twice" : "read back 3 times";
  if (verdict.kindDiffers || !verdict.differing.empty()) {
    verdict.result = FlashVerdict::Result::kDiffers;
    verdict.proof =
        reads + ": " +
        (verdict.kindDiffers ? std::string("the receiver reports another kind")
                             : NameBlocks(verdict.differing) + " differ" +
                                   (verdict.differing.size() == 1 ? "s" : "") + " in the flash");
  } else if (!verdict.undecided.empty() || kindOpen) {
    verdict.result = FlashVerdict::Result::kUndecided;
    verdict.proof =
        reads + ": " +
        (verdict.undecided.empty() ? std::string("the kind") : NameBlocks(verdict.undecided)) +
        " read differently each time";
  } else {
    verdict.result = FlashVerdict::Result::kVerified;
    verdict.proof = reads + ": " + NameBlocks(verdict.noise) + " read wrong once (noise)";
    if (verdict.noise.empty()) {
      verdict.proof = reads + ": the kind read wrong once (noise)";
    }
  }
  return verdict;
}

}  // namespace cli
