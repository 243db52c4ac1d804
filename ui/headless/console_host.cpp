#include "ui/headless/console_host.h"

#include <set>
#include <thread>

#include "ui/sleep.h"

namespace ui {

std::atomic<bool> ConsoleHost::cancelRequested_{false};

class ConsoleHost::Window : public DialogWindow {
 public:
  struct TimerState {
    std::chrono::milliseconds period;
    Clock::time_point due;
  };

  explicit Window(ConsoleHost& host) : host_(host) {}

  void SetCaption(const std::string& /*text*/) override {}
  void SetItemText(int id, const std::string& text) override { texts_[id] = text; }
  std::string ItemText(int id) const override {
    const auto found = texts_.find(id);
    return found == texts_.end() ? std::string() : found->second;
  }
  void CheckRadio(int firstId, int lastId, int checkedId) override {
    for (int id = firstId; id <= lastId; ++id) {
      checked_.erase(id);
    }
    if (checkedId != 0) {
      checked_.insert(checkedId);
    }
  }
  bool IsChecked(int id) const override { return checked_.count(id) != 0; }
  void SetListItems(int id, const std::vector<std::string>& items) override {
    listSizes_[id] = static_cast<int>(items.size());
    selections_.erase(id);
  }
  void SelectListItem(int id, int index) override {
    selections_[id] = index >= 0 && index < listSizes_[id] ? index : -1;
  }
  int ListSelection(int id) const override {
    const auto found = selections_.find(id);
    return found == selections_.end() ? -1 : found->second;
  }
  void EnableItem(int /*id*/, bool /*enabled*/) override {}
  void SetProgress(int /*id*/, int /*position*/) override {}
  void ShowItem(int /*id*/, bool /*visible*/) override {}
  void Show(bool /*visible*/) override {}
  void SetAppIcon(bool /*smallOnly*/) override {}
  void CaptureKeys(int /*id*/) override {}
  void Center() override {}
  void Repaint() override {}
  void RepaintItem(int /*id*/) override {}
  void SetTimer(int id, unsigned periodMs) override {
    const std::chrono::milliseconds period(periodMs);
    timers[id] = TimerState{period, Clock::now() + period};
  }
  void KillTimer(int id) override { timers.erase(id); }
  void SetWaitCursor(bool /*on*/) override {}
  void Pause(unsigned milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    host_.listener_.MessageShown(text, caption);
  }
  bool AskFileName(const FileDialogRequest& /*request*/, bool /*save*/,
                   std::string& path) override {
    if (host_.fileAnswers_.empty()) {
      return false;
    }
    path = host_.fileAnswers_.front();
    host_.fileAnswers_.pop_front();
    return true;
  }
  void End(int value) override {
    ended = true;
    result = value;
    timers.clear();
  }

  std::map<int, TimerState> timers;
  bool ended = false;
  int result = 0;

 private:
  ConsoleHost& host_;
  std::map<int, std::string> texts_;
  std::set<int> checked_;
  std::map<int, int> listSizes_;
  std::map<int, int> selections_;
};

ConsoleHost::ConsoleHost(ConsoleListener& listener, bool fast)
    : listener_(listener), fast_(fast), previous_(Host::Install(this)) {}

ConsoleHost::~ConsoleHost() {
  Host::Install(previous_);
}

void ConsoleHost::ShowMessage(const std::string& text, const std::string& caption) {
  listener_.MessageShown(text, caption);
}

void ConsoleHost::Click(int id) {
  if (!running_.empty()) {
    Command(*running_.back().first, id);
  }
}

int ConsoleHost::RunModal(Dialog& dialog) {
  Window window(*this);
  running_.emplace_back(&dialog, &window);
  Init(dialog, &window);
  Loop(dialog, window);
  running_.pop_back();
  Detach(dialog);
  return window.result;
}

void ConsoleHost::Loop(Dialog& dialog, Window& window) {
  while (!window.ended) {
    if (cancelRequested_ || window.timers.empty()) {
      // Nothing left on a timer: the dialog waits for its user, who is the command line.
      if (!cancelRequested_ && idle_) {
        const IdleAction action = idle_;
        action(*this);
      }
      if (!window.ended) {
        Command(dialog, kIdCancel);
      }
      if (!window.ended) {
        window.End(kIdCancel);  // one that will not close must not hold the command forever
      }
      break;
    }
    auto next = window.timers.begin();
    for (auto it = window.timers.begin(); it != window.timers.end(); ++it) {
      if (it->second.due < next->second.due) {
        next = it;
      }
    }
    const int id = next->first;
    const Clock::time_point due = next->second.due;
    if (Clock::now() < due) {
      // Asleep until the period is up or, at the fast pace, until the dialog's data has come
      // (the dialog waits on its port, not on a clock); then the tick comes at once.
      const bool ready = fast_ ? AwaitTick(dialog, id, due) : false;
      if (!ready) {
        if (!fast_) {
          SleepUntil(due);
        }
        if (cancelRequested_ || Clock::now() < due || window.timers.count(id) == 0) {
          continue;
        }
      }
    }
    // Like WM_TIMER, a late tick is not made up for: the next one is a period after this.
    auto found = window.timers.find(id);
    if (found == window.timers.end()) {
      continue;
    }
    found->second.due = Clock::now() + found->second.period;
    Timer(dialog, id);
  }
}

}  // namespace ui
