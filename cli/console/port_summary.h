// What one port's run (or one receiver of a bench) came to: what every summary, log line and
// bench event is made of.
#pragma once

#include <string>

#include "cli/console/exit_code.h"

namespace cli {

struct PortSummary {
  std::string port;  // as every line names it
  int exitCode = kExitOk;
  std::string kind;    // the receiver's version name, once known
  std::string result;  // "ok", "up to date", or what went wrong
  double seconds = 0;
  std::string sha256;        // of the data read or written
  std::string backup;        // the file that holds the old software of an upgrade
  std::string backupSha256;  // of its data
  std::string file;          // the file a read wrote
  std::string proof;         // how the data were proven, in a few words
  std::string restore;       // the command that writes the backup back, after a failed upgrade
  bool answered = false;
  bool upToDate = false;       // the receiver already held the upgrade's software
  bool writeStarted = false;   // an upgrade sent blocks
  bool written = false;        // an upgrade's every block was taken
  bool otherReceiver = false;  // after the restart another receiver answered
  double restartSeconds = -1;  // how long it took to answer after its restart; -1: not seen
};

}  // namespace cli
