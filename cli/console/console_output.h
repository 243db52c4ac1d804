// Where everything vesker-link says goes, from any number of ports at once: lines on stdout
// and stderr, JSON events, and on a terminal one live line per port that is redrawn in place
// while the lines above it scroll. One lock keeps the lines of different ports whole.
//
// Much of what is shown was chosen by others: an adapter's USB strings, file and port names,
// a device server's words. Every line and live line therefore reaches the terminal with its
// control characters shown as escapes (VisibleText), never done; the only sequences the
// terminal acts on are the live lines' own redrawing.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace cli {

class ConsoleOutput {
 public:
  // live: stderr is a terminal that can redraw lines.
  explicit ConsoleOutput(bool live) : live_(live) {}
  ConsoleOutput(const ConsoleOutput&) = delete;
  ConsoleOutput& operator=(const ConsoleOutput&) = delete;

  bool Live() const { return live_; }
  // A whole line on stdout or stderr, above the live lines.
  void Out(const std::string& line);
  void Err(const std::string& line);
  // Several lines on stderr together, as one message of the program's own that it breaks
  // into lines.
  void Err(const std::vector<std::string>& lines);
  // The live line of a slot (one per port), redrawn in place; empty takes it away.
  void SetLive(std::size_t slot, const std::string& text);
  // The slot's live line becomes an ordinary line on stderr, and the slot is free again.
  void Keep(std::size_t slot);

  // Every JSON event also goes to tap, whatever stdout shows (the bench page takes them);
  // set before the ports start. The tap is called from the ports' threads.
  void SetEventTap(std::function<void(const std::string&)> tap) { tap_ = std::move(tap); }
  bool Tapped() const { return static_cast<bool>(tap_); }
  // A JSON event: a line on stdout when shown (--json), and to the tap; else nothing.
  void Event(const std::string& line, bool shown);

 private:
  void Write(std::FILE* stream, const std::vector<std::string>& lines);
  void Erase();
  void Draw();

  std::mutex mutex_;
  bool live_;
  std::vector<std::string> slots_;
  std::size_t drawn_ = 0;  // live lines on screen
  std::function<void(const std::string&)> tap_;
};

}  // namespace cli
