// Which receiver answers on a port after a silence, once the port has handled one: a missed
// connection test may be a wiggled cable, or a box swapped for the next quicker than the
// silence that counts as gone. One read tells them apart: a flash equal to the file is a
// receiver up to date, whichever box it is; one equal to what the port holds of the
// receiver it handled (a failed one's) is that receiver; anything else is another one. The read
// is proven as every read is (one pass where it equals an image it may equal, else a second
// that agrees), so that noise never makes the same receiver look like another, and it is
// handed on as the newcomer's own proven read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/console/event_reporter.h"
#include "cli/transfers/held_flash.h"
#include "cli/transfers/known_images.h"
#include "cli/transfers/proven_read.h"

namespace cli {

// What the check compares a read with, besides the receiver the port handled.
struct CheckImages {
  const KnownImages* known = nullptr;               // images of the run and of --known
  const std::vector<std::uint8_t>* file = nullptr;  // an upgrade's data; null for a read
  int fileVariant = -1;  // a receiver of another kind is read no further than its kind
};

class ReceiverCheck {
 public:
  enum class Verdict {
    kSame,      // the receiver the port handled, or one no reads could tell from it
    kOther,     // a receiver to handle (another, or one up to date): proven holds its read
    kNoAnswer,  // it fell silent again, or the port went
  };

  // label: the port as part of a file name; once: one read, trusted as it came.
  ReceiverCheck(std::int32_t portIndex, int baud, bool fast, bool once, std::string label,
                CheckImages images);

  Verdict Check(EventReporter& reporter, const HeldFlash& handled, ProvenFlash& proven) const;

 private:
  std::int32_t portIndex_;
  int baud_;
  bool fast_;
  bool once_;
  std::string label_;
  CheckImages images_;
};

}  // namespace cli
