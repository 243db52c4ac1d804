#include "cli/transfers/way_back.h"

#include <algorithm>
#include <iterator>

#include "cli/console/terminal.h"
#include "link/command_port.h"

namespace cli {

namespace {

struct Case {
  UpgradeEnding ending;
  bool offered;        // the way back
  bool otherReceiver;  // proven another receiver
  bool told;           // the words a message of their own; else the failure or success said it
  const char* words;   // "%s": the details
};

// Only a read-back of the file ends a write well (or one the user chose not to read back).
// Only a receiver that names another kind in two reads is another receiver: a block written
// wrong, a flash cell that fails, a flash erased by a save that went wrong all leave a
// receiver of the same kind whose flash holds neither the file nor its old software, and
// each of them needs its old software back.
// clang-format off
constexpr Case kCases[] = {
  // ending                      way back other  told   words
  {UpgradeEnding::kWriteFailed,  true,    false, false, "%s"},
  {UpgradeEnding::kNotVerified,  false,   false, false, "ok"},
  {UpgradeEnding::kVerified,     false,   false, false, "ok"},
  {UpgradeEnding::kNoAnswer,     true,    false, true,  "upgraded, not verified: no answer after "
                                                        "the restart"},
  {UpgradeEnding::kReadFailed,   true,    false, true,  "upgraded, not verified: %s"},
  {UpgradeEnding::kInterrupted,  true,    false, false, "interrupted"},
  {UpgradeEnding::kUndecided,    true,    false, true,  "upgraded, not verified: %s"},
  {UpgradeEnding::kOtherKind,    true,    true,  true,  "upgraded, not verified: another receiver "
                                                        "answers"},
  {UpgradeEnding::kFileButFor,   true,    false, true,  "verify failed: %s from the file"},
  {UpgradeEnding::kOldSoftware,  true,    false, true,  "verify failed: the receiver still holds "
                                                        "its old software"},
  {UpgradeEnding::kNeither,      true,    false, true,  "verify failed: the receiver's flash holds "
                                                        "neither this file nor its old software "
                                                        "(%s from the file)"},
};
// clang-format on

}  // namespace

WayBack DecideWayBack(std::uint32_t blocksSent, UpgradeEnding ending, const std::string& details) {
  const Case& found = *std::find_if(std::begin(kCases), std::end(kCases),
                                    [ending](const Case& c) { return c.ending == ending; });
  WayBack way;
  way.result = found.words;
  if (const std::size_t at = way.result.find("%s"); at != std::string::npos) {
    way.result.replace(at, 2, details);
  }
  // Before the first block the receiver still holds what it held: nothing to put back.
  way.told = found.told;
  way.offered = found.offered && blocksSent > 0;
  way.otherReceiver = found.otherReceiver;
  return way;
}

std::string RestoreCommand(const std::string& port, int baud, const std::string& file) {
  std::string command = "vesker-link -p " + ShellQuote(port);
  if (baud != comm::kReceiverBaud) {
    command += " -b " + std::to_string(baud);
  }
  return command + " upgrade " + ShellQuote(file);
}

}  // namespace cli
