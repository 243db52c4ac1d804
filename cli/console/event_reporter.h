// What vesker-link tells its user about one port: progress on stderr (a live bar on a
// terminal, a line per 10 % elsewhere), the program's messages, the outcome; or, for
// wrappers, one JSON object per event on stdout. With several ports each has a reporter of
// its own, and every line and event names its port.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "cli/console/console_output.h"
#include "cli/console/json_line.h"
#include "link/outcome.h"
#include "ui/headless/console_host.h"

namespace cli {

class EventReporter : public ui::ConsoleListener, public comm::ProgressListener {
 public:
  enum class Style { kTerminal, kPlain, kJson, kSilent };
  // port: put in every JSON event when not empty, and before every line when named (with
  // several ports); slot: the port's live line on a terminal.
  EventReporter(ConsoleOutput& output, Style style, bool quiet, std::string port = std::string(),
                bool named = false, std::size_t slot = 0);

  // The start of a command, and each stage whose blocks it counts (or whose wait it shows);
  // the time of each stage is kept, a stage entered again adding to its time.
  void Start(const std::string& command, const Json& fields);
  void Stage(const std::string& name);
  // The next read of the same stage (2, 3); its progress starts again from nothing.
  void Pass(int number);
  // How long a wait of the stage has lasted, of at most limit seconds.
  void Waiting(double seconds, double limit);
  // The seconds spent in each stage so far, in the order they were first entered.
  std::vector<std::pair<std::string, double>> StageSeconds();
  // A line for the user on stdout (in JSON it goes into the result instead).
  void Say(const std::string& line);
  // A message of the command line's own, shown like the program's.
  void Message(const std::string& text);
  // The program's messages stop reaching the user (they are still kept), or reach them again.
  void Mute(bool muted) { muted_ = muted; }
  // What a port of the production loop is doing between receivers ("waiting for a receiver",
  // "done: swap the receiver"): its live line on a terminal, a line elsewhere, a "state"
  // event in JSON. It is no progress: -q shows it too. trouble: why the port cannot be
  // opened ("no such device", "busy"), when that is what it waits on.
  void State(const std::string& state, const std::string& text,
             const std::string& trouble = std::string());
  // The receiver's kind, once a read has named it: progress events carry it from then on.
  void Receiver(const std::string& kind) { kind_ = kind; }
  // The run's record as the log has it, the adapter as probe names it and the blocks each
  // stage's further reads repaired (an object of stage and blocks): a "record" event for the
  // tap alone (the bench page), which --json does not print.
  void Record(const Json& record, const std::string& adapter, const Json& repaired);
  // Whether events reach a tap (the bench page) besides what this style shows.
  bool Tapped() const { return style_ != Style::kSilent && output_.Tapped(); }
  // On a terminal, a finished stage's bar stays above the live lines (the default), or goes
  // when the next line takes its place, so that a port that runs all day keeps to its line.
  void KeepBars(bool keep) { keepBars_ = keep; }
  void Result(int exitCode, const Json& fields);

  bool InJson() const { return style_ == Style::kJson; }

  void MessageShown(const std::string& text, const std::string& caption) override;
  void BlocksDone(std::uint32_t done, std::uint32_t count) override;

 private:
  void CloseBar();
  void CloseStageTime();
  // The stage as progress names it: "backup", or "backup 2" for its second read.
  std::string StageLabel() const;
  // Events are made for --json and for the tap; shown: printed on stdout as well.
  bool Evented() const { return InJson() || Tapped(); }
  void Emit(Json event, bool shown);
  // A progress event: with the receiver's kind once known, and not on stdout with -q.
  void EmitProgress(Json event);
  std::string Named(const std::string& line) const { return named_ ? port_ + ": " + line : line; }

  ConsoleOutput& output_;
  Style style_;
  bool quiet_;
  std::string port_;
  bool named_;
  std::size_t slot_;
  bool muted_ = false;
  std::string command_;
  std::string stage_;
  int pass_ = 1;
  std::chrono::steady_clock::time_point stageStart_;
  std::chrono::steady_clock::time_point timedSince_;
  std::vector<std::pair<std::string, double>> stageSeconds_;
  int lastWaitShown_ = -1;
  int lastWaitEvent_ = -1;
  int lastEventPercent_ = -1;
  std::string kind_;
  std::chrono::steady_clock::time_point lastDraw_;
  int lastShown_ = -1;  // tenth (plain) or block (terminal) last shown
  bool barOpen_ = false;
  bool keepBars_ = true;
};

}  // namespace cli
