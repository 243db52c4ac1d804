#include "ui/dialog.h"

#include "ui/sleep.h"

namespace ui {

namespace {
// One host per thread: the command line runs a port's dialogs on a thread of its own.
thread_local Host* installedHost = nullptr;
}  // namespace

Host& Host::Current() {
  return *installedHost;
}

Host* Host::Install(Host* host) {
  Host* previous = installedHost;
  installedHost = host;
  return previous;
}

// No exception leaves a handler: one that throws ends its dialog as Cancel would, and the
// program goes on (through a window system's dialog procedure it would end the process).
void Host::EndAfterThrow(Dialog& dialog) noexcept {
  try {
    if (dialog.window_ != nullptr) {
      dialog.window_->End(kIdCancel);
    }
  } catch (...) {
    // nothing more can be done for this dialog
  }
}

bool Host::Init(Dialog& dialog, DialogWindow* window) noexcept {
  dialog.window_ = window;
  try {
    return dialog.OnInitDialog();
  } catch (...) {
    EndAfterThrow(dialog);
    return false;
  }
}

void Host::Command(Dialog& dialog, int id) noexcept {
  try {
    dialog.Dispatch(id);
  } catch (...) {
    EndAfterThrow(dialog);
  }
}

void Host::Timer(Dialog& dialog, int id) noexcept {
  try {
    dialog.OnTimer(id);
  } catch (...) {
    EndAfterThrow(dialog);
  }
}

bool Host::AwaitTick(Dialog& dialog, int id, std::chrono::steady_clock::time_point until) noexcept {
  try {
    return dialog.AwaitTick(id, until);
  } catch (...) {
    return false;  // the tick comes on time, and its handler meets the fault itself
  }
}

bool Host::PreviewKey(Dialog& dialog, int id, unsigned virtualKey) noexcept {
  try {
    return dialog.OnPreviewKey(id, virtualKey);
  } catch (...) {
    EndAfterThrow(dialog);
    return true;
  }
}

void Host::ControlKeyDown(Dialog& dialog, int id, unsigned virtualKey) noexcept {
  try {
    dialog.OnControlKeyDown(id, virtualKey);
  } catch (...) {
    EndAfterThrow(dialog);
  }
}

void Host::Detach(Dialog& dialog) {
  dialog.window_ = nullptr;
}

bool Dialog::AwaitTick(int /*id*/, std::chrono::steady_clock::time_point until) {
  SleepUntil(until);
  return false;
}

void Dialog::SetRadioIndex(std::span<const int> ids, int index) {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    window_->CheckRadio(ids[i], ids[i], static_cast<int>(i) == index ? ids[i] : 0);
  }
}

int Dialog::RadioIndex(std::span<const int> ids) const {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (window_->IsChecked(ids[i])) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void Dialog::Dispatch(int id) {
  if (id == kIdOk) {
    OnOK();
  } else if (id == kIdCancel) {
    OnCancel();
  } else {
    OnCommand(id);
  }
}

}  // namespace ui
