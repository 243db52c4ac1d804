#include "cli/console/event_reporter.h"

#include <cinttypes>
#include <cmath>
#include <utility>

#include <nlohmann/json.hpp>

#include "romimage/receiver_variant_table.h"

namespace cli {

namespace {

constexpr auto kRedrawGap = std::chrono::milliseconds(100);
constexpr int kBarWidth = 24;

std::string Clock(double seconds) {
  const long long whole = std::llround(seconds);
  char text[32];
  std::snprintf(text, sizeof(text), "%lld:%02lld", whole / 60, whole % 60);
  return text;
}

}  // namespace

EventReporter::EventReporter(ConsoleOutput& output, Style style, bool quiet, std::string port,
                             bool named, std::size_t slot)
    : output_(output),
      style_(style),
      quiet_(quiet),
      port_(std::move(port)),
      named_(named),
      slot_(slot) {}

void EventReporter::Emit(Json event, bool shown) {
  if (style_ == Style::kSilent) {
    return;
  }
  if (!port_.empty()) {
    event["port"] = port_;
  }
  output_.Event(JsonLine(event), shown);
}

void EventReporter::EmitProgress(Json event) {
  if (!kind_.empty()) {
    event["kind"] = kind_;
  }
  Emit(std::move(event), InJson() && !quiet_);
}

void EventReporter::Start(const std::string& command, const Json& fields) {
  command_ = command;
  if (Evented()) {
    Emit({{"event", "start"}, {"command", command}, {"details", fields}}, InJson());
  }
}

void EventReporter::Stage(const std::string& name) {
  CloseBar();
  CloseStageTime();
  stage_ = name;
  pass_ = 1;
  stageStart_ = timedSince_ = std::chrono::steady_clock::now();
  lastDraw_ = {};
  lastShown_ = -1;
  lastEventPercent_ = -1;
  lastWaitShown_ = -1;
  lastWaitEvent_ = -1;
}

void EventReporter::Pass(int number) {
  CloseBar();
  pass_ = number;
  stageStart_ = std::chrono::steady_clock::now();
  lastDraw_ = {};
  lastShown_ = -1;
  lastEventPercent_ = -1;
}

void EventReporter::CloseStageTime() {
  if (stage_.empty()) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - timedSince_).count();
  timedSince_ = now;
  for (auto& [name, total] : stageSeconds_) {
    if (name == stage_) {
      total += seconds;
      return;
    }
  }
  stageSeconds_.emplace_back(stage_, seconds);
}

std::vector<std::pair<std::string, double>> EventReporter::StageSeconds() {
  CloseStageTime();
  return stageSeconds_;
}

std::string EventReporter::StageLabel() const {
  return pass_ > 1 ? stage_ + " " + std::to_string(pass_) : stage_;
}

void EventReporter::Waiting(double seconds, double limit) {
  if (muted_ || style_ == Style::kSilent) {
    return;
  }
  const int whole = static_cast<int>(seconds);
  // Each second of the wait is an event for a program (the bench page too, even with -q).
  if (Evented() && whole != lastWaitEvent_) {
    lastWaitEvent_ = whole;
    EmitProgress({{"event", "progress"},
                  {"stage", stage_},
                  {"seconds", Tenths(whole)},
                  {"limitSeconds", Tenths(limit)}});
  }
  // A receiver that answers at once is no wait to speak of, except to a program.
  if (quiet_ || whole == lastWaitShown_ || whole == 0) {
    return;
  }
  const bool first = lastWaitShown_ < 0;
  lastWaitShown_ = whole;
  switch (style_) {
    case Style::kJson:
      return;
    case Style::kPlain:
      if (first) {
        char line[160];
        std::snprintf(line, sizeof(line), "%s: waiting for the receiver to answer (up to %.0f s)",
                      stage_.c_str(), limit);
        output_.Err(Named(line));
      }
      return;
    case Style::kTerminal: {
      char line[160];
      std::snprintf(line, sizeof(line), "%-8s waiting for the receiver to answer  %d s of %.0f s",
                    stage_.c_str(), whole, limit);
      output_.SetLive(slot_, Named(line));
      barOpen_ = true;
      return;
    }
    case Style::kSilent:
      return;
  }
}

void EventReporter::Say(const std::string& line) {
  if (!InJson() && style_ != Style::kSilent) {
    CloseBar();
    output_.Out(Named(line));
  }
}

void EventReporter::Message(const std::string& text) {
  if (muted_ || style_ == Style::kSilent) {
    return;
  }
  if (Evented()) {
    Emit({{"event", "message"}, {"text", text}}, InJson());
  }
  if (InJson()) {
    return;
  }
  CloseBar();
  // The program's texts break lines as Windows does, and each piece is a line of its own;
  // any other line end, as in a file name the text quotes, is shown, not done.
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t end = 0; (end = text.find("\r\n", from)) != std::string::npos; from = end + 2) {
    lines.push_back(text.substr(from, end - from));
  }
  lines.push_back(text.substr(from));
  lines.front().insert(0, "vesker-link: " + Named(""));
  output_.Err(lines);
}

void EventReporter::MessageShown(const std::string& text, const std::string& /*caption*/) {
  Message(text);
}

void EventReporter::Result(int exitCode, const Json& fields) {
  CloseBar();
  if (Evented()) {
    Emit({{"event", "result"},
          {"command", command_},
          {"ok", exitCode == 0},
          {"exitCode", exitCode},
          {"details", fields}},
         InJson());
  }
}

void EventReporter::Record(const Json& record, const std::string& adapter, const Json& repaired) {
  if (!Tapped()) {
    return;
  }
  Emit({{"event", "record"}, {"record", record}, {"adapter", adapter}, {"repaired", repaired}},
       false);
}

void EventReporter::BlocksDone(std::uint32_t done, std::uint32_t total) {
  if (muted_ || style_ == Style::kSilent || total == 0 || done > total) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - stageStart_).count();
  const double bytes = static_cast<double>(done) * romimage::kBlockSize;
  const double rate = seconds > 0 ? bytes / seconds : 0;
  const double eta = done > 0 ? seconds * (total - done) / done : 0;
  const int percent = static_cast<int>(done * 100ull / total);
  // An event for each percent, for a program (the bench page too, even with -q).
  if (Evented() && percent != lastEventPercent_) {
    lastEventPercent_ = percent;
    EmitProgress({{"event", "progress"},
                  {"stage", stage_},
                  {"pass", pass_},
                  {"blocks", done},
                  {"total", total},
                  {"percent", percent},
                  {"bytes", static_cast<std::int64_t>(bytes)},
                  {"bytesPerSecond", Tenths(rate)},
                  {"etaSeconds", Tenths(eta)}});
  }
  if (quiet_) {
    return;
  }
  switch (style_) {
    case Style::kJson:
      return;
    case Style::kPlain:
      if (percent / 10 <= lastShown_ || percent < 10) {
        return;
      }
      lastShown_ = percent / 10;
      output_.Err(Named(StageLabel() + ": " + std::to_string(lastShown_ * 10) + "% (" +
                        std::to_string(done) + "/" + std::to_string(total) + " blocks)"));
      return;
    case Style::kSilent:
      return;
    case Style::kTerminal: {
      if (done != total && now - lastDraw_ < kRedrawGap) {
        return;
      }
      lastDraw_ = now;
      const int filled = static_cast<int>(done * static_cast<std::uint64_t>(kBarWidth) / total);
      std::string bar(static_cast<std::size_t>(filled), '#');
      bar.append(static_cast<std::size_t>(kBarWidth - filled), '.');
      char line[160];
      std::snprintf(line, sizeof(line), "%-8s [%s] %3d%%  %u/%u blocks  %.1f KiB/s  ETA %s",
                    StageLabel().c_str(), bar.c_str(), percent, done, total, rate / 1024,
                    Clock(eta).c_str());
      output_.SetLive(slot_, Named(line));
      barOpen_ = true;
      if (done == total) {
        CloseBar();
      }
      return;
    }
  }
}

void EventReporter::CloseBar() {
  if (barOpen_ && keepBars_) {
    output_.Keep(slot_);
  }
  barOpen_ = false;
}

void EventReporter::State(const std::string& state, const std::string& text,
                          const std::string& trouble) {
  if (Evented()) {
    Json event = {{"event", "state"}, {"state", state}, {"text", text}};
    if (!trouble.empty()) {
      event["trouble"] = trouble;
    }
    Emit(event, InJson());
  }
  switch (style_) {
    case Style::kJson:
      return;
    case Style::kPlain:
      output_.Err(Named(text));
      return;
    case Style::kTerminal:
      barOpen_ = false;
      output_.SetLive(slot_, Named(text));
      return;
    case Style::kSilent:
      return;
  }
}

}  // namespace cli
