// The test host: dialogs run without a window system. Controls live in memory, timers fire
// when the test advances the host's clock (and while a message box is read, a second), file
// dialogs and message boxes are answered from a script, and everything a user would have seen
// is kept as a transcript.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/dialog.h"
#include "ui/headless/template_library.h"

namespace ui {

class HeadlessHost;

// What the user saw: a message box, a file dialog, a dialog opening or closing.
struct Event {
  enum Kind { kMessage, kOpenFile, kSaveFile, kDialogShown, kDialogEnded, kStalled };
  explicit Event(Kind what) : kind(what) {}

  Kind kind;
  int ownerTemplate = 0;        // the dialog that owned it; 0 for none
  std::string text;             // message text, file dialog title
  std::string caption;          // message caption
  int result = 0;               // how a dialog ended
  unsigned long long time = 0;  // the host's clock when it happened (milliseconds)
  FileDialogRequest request;
};

struct ControlState {
  ControlTemplate source;
  std::string text;
  bool visible = true;
  bool enabled = true;
  bool checked = false;
  int progress = 0;
  std::vector<std::string> items;  // a drop-down list's
  int selection = -1;
};

class HeadlessWindow : public DialogWindow {
 public:
  HeadlessWindow(HeadlessHost& host, Dialog& dialog, const DialogTemplate& source, int owner);

  // What a test reads.
  int TemplateId() const { return source_.id; }
  int OwnerTemplate() const { return owner_; }
  const std::string& Caption() const { return caption_; }
  std::string Text(int id) const;
  bool Visible() const { return visible_; }
  bool ItemVisible(int id) const;
  bool ItemEnabled(int id) const;
  // A drop-down list's items, as the user reads them when it opens.
  std::vector<std::string> ListItems(int id) const;
  int Progress(int id) const;
  bool IconSet() const { return iconSet_; }
  bool SmallIconOnly() const { return smallIconOnly_; }
  int Focus() const { return focus_; }
  bool Centered() const { return centered_; }
  bool WaitCursor() const { return waitCursor_; }
  // What was redrawn, in order: a control's id, or 0 for the whole dialog.
  const std::vector<int>& Repaints() const { return repaints_; }
  // Positions the progress bar took, in order, and pauses taken (milliseconds).
  const std::vector<int>& ProgressHistory() const { return progressHistory_; }
  const std::vector<unsigned>& Pauses() const { return pauses_; }
  // Every text a control was given, in order.
  std::vector<std::string> TextHistory(int id) const {
    const auto found = textHistory_.find(id);
    return found == textHistory_.end() ? std::vector<std::string>() : found->second;
  }
  bool Ended() const { return ended_; }
  int Result() const { return result_; }
  std::vector<int> RunningTimers() const;

  // What a user does. A click on a control the template lacks does nothing; a click on a
  // control gives it the focus.
  void Click(int id);
  // The item at index chosen from a drop-down list, as with the mouse: nothing happens for
  // a list that is disabled or has no such item.
  void Choose(int id, int index);
  void SetFocus(int id) { focus_ = id; }
  // A key-down into the focused control, as the dialog manager delivers it: Enter and Esc
  // become OK and Cancel unless the control captures them.
  void KeyDown(unsigned virtualKey);
  void PressEnter();
  void PressEscape();
  void CloseBox();

  // DialogWindow
  void SetCaption(const std::string& text) override { caption_ = text; }
  void SetItemText(int id, const std::string& text) override;
  std::string ItemText(int id) const override { return Text(id); }
  void CheckRadio(int firstId, int lastId, int checkedId) override;
  bool IsChecked(int id) const override;
  void SetListItems(int id, const std::vector<std::string>& items) override;
  void SelectListItem(int id, int index) override;
  int ListSelection(int id) const override;
  void EnableItem(int id, bool enabled) override;
  void SetProgress(int id, int position) override;
  void ShowItem(int id, bool visible) override;
  void Show(bool visible) override { visible_ = visible; }
  void SetAppIcon(bool smallOnly) override {
    iconSet_ = true;
    smallIconOnly_ = smallOnly;
  }
  void CaptureKeys(int id) override { captured_.push_back(id); }
  void Center() override { centered_ = true; }
  void Repaint() override { repaints_.push_back(0); }
  void RepaintItem(int id) override { repaints_.push_back(id); }
  void SetTimer(int id, unsigned periodMs) override;
  void KillTimer(int id) override { timers_.erase(id); }
  void SetWaitCursor(bool on) override { waitCursor_ = on; }
  // The host's clock moves on; no timer fires while the thread is held.
  void Pause(unsigned milliseconds) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;
  bool AskFileName(const FileDialogRequest& request, bool save, std::string& path) override;
  void End(int result) override;

 private:
  friend class HeadlessHost;
  struct TimerState {
    unsigned period;
    unsigned long long due;
  };
  ControlState* Find(int id);
  const ControlState* Find(int id) const;

  HeadlessHost& host_;
  Dialog& dialog_;
  DialogTemplate source_;
  int owner_;
  std::map<int, ControlState> controls_;
  std::map<int, TimerState> timers_;
  std::vector<int> progressHistory_;
  std::vector<int> repaints_;
  std::vector<unsigned> pauses_;
  std::map<int, std::vector<std::string>> textHistory_;
  std::string caption_;
  bool visible_ = true;
  bool iconSet_ = false;
  bool smallIconOnly_ = false;
  int focus_ = 0;
  std::vector<int> captured_;
  bool centered_ = false;
  bool waitCursor_ = false;
  bool ended_ = false;
  int result_ = 0;
};

class HeadlessHost : public Host {
 public:
  using Step = std::function<void(HeadlessWindow&)>;

  // Installs itself as the current host until it is destroyed.
  explicit HeadlessHost(const TemplateLibrary& library = TemplateLibrary::Program());
  ~HeadlessHost() override;
  HeadlessHost(const HeadlessHost&) = delete;
  HeadlessHost& operator=(const HeadlessHost&) = delete;

  // The script: each step acts on the innermost running dialog, in order. A modal run
  // whose script is used up ends with -1 and a kStalled event instead of hanging.
  void Then(Step step) { steps_.push_back(std::move(step)); }
  void Click(int id);
  void Choose(int id, int index);
  void SetFocus(int id);
  void KeyDown(unsigned virtualKey);
  void PressEnter();
  void PressEscape();
  void CloseBox();
  // Moves the host's clock on; every due timer of every running dialog fires in order.
  void Advance(unsigned milliseconds);
  // The same at once, from inside a step.
  void AdvanceNow(unsigned milliseconds) { AdvanceClock(milliseconds); }

  // The next dialog's message boxes fail, as when memory runs out while a text is built:
  // ShowMessage throws std::bad_alloc this many times.
  void FailMessages(int count) { messageFailures_ = count; }

  // Answers for the next file dialogs, in order: a path, or nullopt to cancel.
  void AnswerFileDialog(std::optional<std::string> path) {
    fileAnswers_.push_back(std::move(path));
  }

  const std::vector<Event>& Transcript() const { return transcript_; }
  std::vector<Event> Messages() const;
  unsigned long long Now() const { return now_; }
  // The running dialogs, outermost first.
  const std::vector<HeadlessWindow*>& Running() const { return running_; }
  // The final state of the last dialog with this template that ended.
  const HeadlessWindow* LastEnded(int templateId) const;

  int RunModal(Dialog& dialog) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;

 private:
  friend class HeadlessWindow;
  void AdvanceClock(unsigned milliseconds);

  const TemplateLibrary& library_;
  Host* previous_;
  std::deque<Step> steps_;
  std::deque<std::optional<std::string>> fileAnswers_;
  std::vector<HeadlessWindow*> running_;
  std::vector<std::unique_ptr<HeadlessWindow>> ended_;
  std::vector<Event> transcript_;
  unsigned long long now_ = 0;
  int messageFailures_ = 0;
  bool inMessage_ = false;
};

}  // namespace ui
