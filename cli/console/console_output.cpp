#include "cli/console/console_output.h"

#include <cstdio>

#include "cli/console/visible_text.h"

namespace cli {

namespace {
constexpr char kUp[] = "\x1b[A";
constexpr char kClearLine[] = "\r\x1b[K";
}  // namespace

void ConsoleOutput::Erase() {
  for (std::size_t i = 0; i < drawn_; ++i) {
    std::fputs(kUp, stderr);
    std::fputs(kClearLine, stderr);
  }
  drawn_ = 0;
}

void ConsoleOutput::Draw() {
  for (const std::string& text : slots_) {
    if (!text.empty()) {
      std::fprintf(stderr, "%s%s\n", kClearLine, text.c_str());
      ++drawn_;
    }
  }
  std::fflush(stderr);
}

void ConsoleOutput::Write(std::FILE* stream, const std::vector<std::string>& lines) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (live_) {
    std::fflush(stdout);
    Erase();
    std::fflush(stderr);
  }
  for (const std::string& line : lines) {
    std::fputs((VisibleText(line) + "\n").c_str(), stream);
  }
  std::fflush(stream);
  if (live_) {
    Draw();
  }
}

void ConsoleOutput::Out(const std::string& line) {
  Write(stdout, {line});
}

void ConsoleOutput::Err(const std::string& line) {
  Write(stderr, {line});
}

void ConsoleOutput::Err(const std::vector<std::string>& lines) {
  Write(stderr, lines);
}

void ConsoleOutput::Event(const std::string& line, bool shown) {
  if (shown) {
    Out(line);
  }
  if (tap_) {
    tap_(line);
  }
}

void ConsoleOutput::SetLive(std::size_t slot, const std::string& text) {
  if (!live_) {
    return;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  if (slots_.size() <= slot) {
    slots_.resize(slot + 1);
  }
  slots_[slot] = VisibleText(text);
  Erase();
  Draw();
}

void ConsoleOutput::Keep(std::size_t slot) {
  if (!live_) {
    return;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  if (slot >= slots_.size() || slots_[slot].empty()) {
    return;
  }
  const std::string line = slots_[slot];
  slots_[slot].clear();
  Erase();
  std::fputs((line + "\n").c_str(), stderr);
  Draw();
}

}  // namespace cli
