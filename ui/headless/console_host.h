// The console host: the program's dialogs run in real time with no window at all, for the
// command-line companion. Timers fire on the steady clock, pauses really wait, file dialogs
// take the answers the command line gave, and what a user would have seen (messages, the
// texts of controls) goes to a listener.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>

#include "ui/dialog.h"

namespace ui {

// Where the messages a user would have seen go.
class ConsoleListener {
 public:
  virtual ~ConsoleListener() = default;
  virtual void MessageShown(const std::string& text, const std::string& caption) = 0;
};

class ConsoleHost : public Host {
 public:
  using Clock = std::chrono::steady_clock;
  // What to do when a running dialog waits for its user: nothing on a timer can move it on.
  using IdleAction = std::function<void(ConsoleHost&)>;

  // fast: a tick is delivered as soon as its dialog has what it waits for, instead of at the
  // end of its period; meanwhile the host sleeps on the dialog's port. Ticks that find
  // nothing still come one period apart, so every time-out keeps its length.
  ConsoleHost(ConsoleListener& listener, bool fast);
  ~ConsoleHost() override;
  ConsoleHost(const ConsoleHost&) = delete;
  ConsoleHost& operator=(const ConsoleHost&) = delete;

  // The answer to the next Open or Save As dialog; without one it is cancelled.
  void AnswerFileDialog(std::string path) { fileAnswers_.push_back(std::move(path)); }
  // Without an action, a dialog that waits for its user is closed as by its Cancel button.
  void OnIdle(IdleAction action) { idle_ = std::move(action); }
  // A button of the innermost running dialog, as if clicked.
  void Click(int id);
  // Safe from a signal handler: the running dialog is closed as by its Cancel button.
  static void RequestCancel() { cancelRequested_ = true; }
  static bool CancelRequested() { return cancelRequested_; }

  int RunModal(Dialog& dialog) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;

 private:
  class Window;
  friend class Window;
  void Loop(Dialog& dialog, Window& window);

  ConsoleListener& listener_;
  bool fast_;
  Host* previous_;
  std::deque<std::string> fileAnswers_;
  IdleAction idle_;
  std::deque<std::pair<Dialog*, Window*>> running_;
  static std::atomic<bool> cancelRequested_;
};

}  // namespace ui
