// What vesker-link tells its user: progress on stderr (a live bar on a terminal, a line per
// 10 % elsewhere), the program's messages, the outcome; or, for wrappers, one JSON object
// per event on stdout.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "link/outcome.h"
#include "ui/headless/console_host.h"

namespace cli {

// One flat JSON object, built up field by field.
class JsonObject {
 public:
  JsonObject& Add(const std::string& key, const std::string& value);
  JsonObject& Add(const std::string& key, const char* value) {
    return Add(key, std::string(value));
  }
  JsonObject& Add(const std::string& key, std::int64_t value);
  JsonObject& Add(const std::string& key, int value) {
    return Add(key, static_cast<std::int64_t>(value));
  }
  JsonObject& Add(const std::string& key, bool value);
  JsonObject& Add(const std::string& key, double value);
  // value must already be JSON (an array, an object).
  JsonObject& AddRaw(const std::string& key, const std::string& value);
  std::string Text() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};

// text as a JSON string, quotes included; UTF-8 passes through.
std::string JsonString(const std::string& text);

class EventReporter : public ui::ConsoleListener, public comm::ProgressListener {
 public:
  enum class Style { kTerminal, kPlain, kJson };
  EventReporter(Style style, bool quiet);

  // The start of a command, and each stage whose blocks it counts.
  void Start(const std::string& command, const JsonObject& fields);
  void Stage(const std::string& name);
  // A line for the user on stdout (in JSON it goes into the result instead).
  void Say(const std::string& line);
  // A message of the command line's own, shown like the program's.
  void Message(const std::string& text);
  // The program's messages stop reaching the user (they are still kept), or reach them again.
  void Mute(bool muted) { muted_ = muted; }
  void Result(int exitCode, const JsonObject& fields);

  bool Json() const { return style_ == Style::kJson; }

  void MessageShown(const std::string& text, const std::string& caption) override;
  void BlocksDone(std::uint32_t done, std::uint32_t count) override;

 private:
  void CloseBar();
  void Emit(const JsonObject& event);

  Style style_;
  bool quiet_;
  bool muted_ = false;
  std::string command_;
  std::string stage_;
  std::chrono::steady_clock::time_point stageStart_;
  std::chrono::steady_clock::time_point lastDraw_;
  int lastShown_ = -1;  // percent (JSON), tenth (plain) or block (terminal) last shown
  bool barOpen_ = false;
};

}  // namespace cli
