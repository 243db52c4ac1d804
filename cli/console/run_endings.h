// Every way the system ends a command line program ends a run of vesker-link as Ctrl-C does:
// the running exchanges are cancelled at their next step, the receiver is told to stop where
// the exchange has a stop, the log line is written with the way back, scratch files go and
// the console is put back. A dropped SSH session (SIGHUP), `systemctl stop` or `kill`
// (SIGTERM), and on Windows a closed console window, a log-off or a shutdown would otherwise
// end it in the middle of a write, with none of that done. The first such request cancels; a
// second Ctrl-C ends the program at once, as a user who presses it twice wants.
#pragma once

namespace cli {

class RunEndings {
 public:
  // From now until this goes, each of those requests cancels the run.
  RunEndings();
  // The run has ended, whatever became of it: a request that waits for that (Windows ends
  // a process soon after its console closes) may let the program go.
  ~RunEndings();
  RunEndings(const RunEndings&) = delete;
  RunEndings& operator=(const RunEndings&) = delete;
};

}  // namespace cli
