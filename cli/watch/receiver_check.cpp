#include "cli/watch/receiver_check.h"

#include <utility>

#include "cli/transfers/flash_reader.h"
#include "ui/headless/console_host.h"

namespace cli {

ReceiverCheck::ReceiverCheck(std::int32_t portIndex, int baud, bool fast, bool once,
                             std::string label, CheckImages images)
    : portIndex_(portIndex),
      baud_(baud),
      fast_(fast),
      once_(once),
      label_(std::move(label)),
      images_(images) {}

ReceiverCheck::Verdict ReceiverCheck::Check(EventReporter& reporter, const HeldFlash& handled,
                                            ProvenFlash& proven) const {
  ui::ConsoleHost host(reporter, fast_);
  FlashReader reader(host, reporter, portIndex_, baud_, label_);
  reporter.Stage("identify");
  ProvenRead read(reader, reporter, once_, images_.known);
  std::vector<ExpectedImage> expected;
  if (images_.file != nullptr) {
    expected.push_back({images_.file, images_.fileVariant, "1 read equal to the file"});
  }
  if (!handled.data.empty()) {
    expected.push_back({&handled.data, handled.variant, "1 read equal to the receiver just done"});
  }
  proven = read.Run(expected, images_.fileVariant);
  if (!proven.outcome.Done()) {
    // Reads that no two agree on tell nothing: the safe answer is the receiver it had,
    // which is never written again unasked.
    const bool undecided = !proven.undecided.empty() || proven.kindUndecided;
    return undecided ? Verdict::kSame : Verdict::kNoAnswer;
  }
  // A flash that holds the file is up to date, whichever box it is: it is handled as one,
  // which writes nothing.
  const bool upToDate = images_.file != nullptr && proven.variant == images_.fileVariant &&
                        proven.data == *images_.file;
  const bool same = proven.variant == handled.variant && proven.data == handled.data;
  return same && !upToDate ? Verdict::kSame : Verdict::kOther;
}

}  // namespace cli
