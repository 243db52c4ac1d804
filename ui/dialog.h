// The portable face of the dialog layer. Every dialog of the program derives from
// ui::Dialog; a host (the real Win32 dialog manager, or the headless test host) runs it.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ui {

enum : int { kIdOk = 1, kIdCancel = 2 };

// What the Open and Save As dialogs are asked for. The filter uses '|' between
// description and pattern and ends with "||", as the program's filter strings are written.
struct FileDialogRequest {
  std::string title;
  std::string filter;
  std::string initialName;
  // Appended to a name typed without one; "" takes the filter's, nullopt appends nothing.
  std::optional<std::string> defaultExtension;
  bool mustExist = false;
  bool overwritePrompt = false;
};

// The window a host gives a running dialog. Texts are UTF-8.
class DialogWindow {
 public:
  virtual ~DialogWindow() = default;
  virtual void SetCaption(const std::string& text) = 0;
  virtual void SetItemText(int id, const std::string& text) = 0;
  virtual std::string ItemText(int id) const = 0;
  virtual void CheckRadio(int firstId, int lastId, int checkedId) = 0;
  virtual bool IsChecked(int id) const = 0;
  // A drop-down list: its items (none of them selected), which one is selected (-1: none).
  virtual void SetListItems(int id, const std::vector<std::string>& items) = 0;
  virtual void SelectListItem(int id, int index) = 0;
  virtual int ListSelection(int id) const = 0;
  // Whether the user may use the control.
  virtual void EnableItem(int id, bool enabled) = 0;
  virtual void SetProgress(int id, int position) = 0;
  virtual void ShowItem(int id, bool visible) = 0;
  virtual void Show(bool visible) = 0;
  // The application icon as the window's small icon and, unless smallOnly, its large one.
  virtual void SetAppIcon(bool smallOnly) = 0;
  // Key-downs in this control reach the dialog's OnPreviewKey and OnControlKeyDown.
  virtual void CaptureKeys(int id) = 0;
  virtual void Center() = 0;
  // Redraws the whole dialog, background included, at once.
  virtual void Repaint() = 0;
  // Redraws one control at once with what it was last given; nothing else is drawn.
  virtual void RepaintItem(int id) = 0;
  virtual void SetTimer(int id, unsigned periodMs) = 0;
  virtual void KillTimer(int id) = 0;
  virtual void SetWaitCursor(bool on) = 0;
  // Holds the user-interface thread still, as a procedure's short fixed pauses do.
  virtual void Pause(unsigned milliseconds) = 0;
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
  virtual bool AskFileName(const FileDialogRequest& request, bool save, std::string& path) = 0;
  virtual void End(int result) = 0;
};

class Dialog;

// Runs dialogs. Exactly one host is installed per thread that runs dialogs.
class Host {
 public:
  virtual ~Host() = default;
  virtual int RunModal(Dialog& dialog) = 0;
  // A message box that belongs to no window.
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;

  static Host& Current();
  // Makes host the current one; returns the one it replaces.
  static Host* Install(Host* host);

 protected:
  // The hosts' way into a dialog's handlers. None lets an exception through: a handler that
  // throws ends its dialog with kIdCancel.
  static bool Init(Dialog& dialog, DialogWindow* window) noexcept;
  static void Command(Dialog& dialog, int id) noexcept;
  static void Timer(Dialog& dialog, int id) noexcept;
  static bool AwaitTick(Dialog& dialog, int id,
                        std::chrono::steady_clock::time_point until) noexcept;
  static bool PreviewKey(Dialog& dialog, int id, unsigned virtualKey) noexcept;
  static void ControlKeyDown(Dialog& dialog, int id, unsigned virtualKey) noexcept;
  static void Detach(Dialog& dialog);

 private:
  static void EndAfterThrow(Dialog& dialog) noexcept;
};

class Dialog {
 public:
  explicit Dialog(int templateId) : templateId_(templateId) {}
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;
  virtual ~Dialog() = default;

  int DoModal() { return Host::Current().RunModal(*this); }
  int TemplateId() const { return templateId_; }
  // A dialog with no owner window runs as a top-level window of its own.
  bool HasOwner() const { return hasOwner_; }

 protected:
  void SetNoOwner() { hasOwner_ = false; }

  virtual bool OnInitDialog() { return true; }
  virtual void OnOK() { EndDialog(kIdOk); }
  virtual void OnCancel() { EndDialog(kIdCancel); }
  virtual void OnTimer(int /*id*/) {}
  // Waits until a tick of this timer would find what it waits for (true: it would count no
  // waiting), or until the time (false). A host may then deliver the tick before its period
  // is up; the real dialog manager never asks. This one only waits out the time.
  virtual bool AwaitTick(int id, std::chrono::steady_clock::time_point until);
  // A button clicked, or the user's choice in a drop-down list changed.
  virtual void OnCommand(int /*id*/) {}
  // A key-down in a control given to CaptureKeys, before anything else sees it; true when
  // handled, so that neither the control nor the dialog's Enter and Esc handling get it.
  virtual bool OnPreviewKey(int /*id*/, unsigned /*virtualKey*/) { return false; }
  // The same key-down after the control's own processing.
  virtual void OnControlKeyDown(int /*id*/, unsigned /*virtualKey*/) {}

  void SetCaption(const std::string& text) { window_->SetCaption(text); }
  void SetItemText(int id, const std::string& text) { window_->SetItemText(id, text); }
  std::string ItemText(int id) const { return window_->ItemText(id); }
  void CheckRadio(int firstId, int lastId, int checkedId) {
    window_->CheckRadio(firstId, lastId, checkedId);
  }
  bool IsChecked(int id) const { return window_->IsChecked(id); }
  // A radio group by position: ids[index] checked and the others cleared; an index outside
  // the group clears them all.
  void SetRadioIndex(std::span<const int> ids, int index);
  // The position of the checked button of the group, or -1 for none.
  int RadioIndex(std::span<const int> ids) const;
  void SetListItems(int id, const std::vector<std::string>& items) {
    window_->SetListItems(id, items);
  }
  void SelectListItem(int id, int index) { window_->SelectListItem(id, index); }
  int ListSelection(int id) const { return window_->ListSelection(id); }
  void EnableItem(int id, bool enabled) { window_->EnableItem(id, enabled); }
  void SetProgress(int id, int position) { window_->SetProgress(id, position); }
  void ShowItem(int id, bool visible) { window_->ShowItem(id, visible); }
  void ShowWindow(bool visible) { window_->Show(visible); }
  void SetAppIcon(bool smallOnly = false) { window_->SetAppIcon(smallOnly); }
  void CaptureKeys(int id) { window_->CaptureKeys(id); }
  void CenterWindow() { window_->Center(); }
  void Repaint() { window_->Repaint(); }
  void RepaintItem(int id) { window_->RepaintItem(id); }
  void SetTimer(int id, unsigned periodMs) { window_->SetTimer(id, periodMs); }
  void KillTimer(int id) { window_->KillTimer(id); }
  void SetWaitCursor(bool on) { window_->SetWaitCursor(on); }
  void Pause(unsigned milliseconds) { window_->Pause(milliseconds); }
  void ShowMessage(const std::string& text, const std::string& caption) {
    window_->ShowMessage(text, caption);
  }
  bool AskOpenFileName(const FileDialogRequest& request, std::string& path) {
    return window_->AskFileName(request, false, path);
  }
  bool AskSaveFileName(const FileDialogRequest& request, std::string& path) {
    return window_->AskFileName(request, true, path);
  }
  void EndDialog(int result) { window_->End(result); }

 private:
  friend class Host;
  void Dispatch(int id);

  int templateId_;
  bool hasOwner_ = true;
  DialogWindow* window_ = nullptr;
};

}  // namespace ui
