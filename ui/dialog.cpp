#include "ui/dialog.h"

namespace ui {

namespace {
Host* installedHost = nullptr;
}  // namespace

Host& Host::Current() {
  return *installedHost;
}

Host* Host::Install(Host* host) {
  Host* previous = installedHost;
  installedHost = host;
  return previous;
}

bool Host::Init(Dialog& dialog, DialogWindow* window) {
  dialog.window_ = window;
  return dialog.OnInitDialog();
}

void Host::Command(Dialog& dialog, int id) {
  dialog.Dispatch(id);
}

void Host::Timer(Dialog& dialog, int id) {
  dialog.OnTimer(id);
}

bool Host::TickReady(Dialog& dialog, int id) {
  return dialog.IsTickReady(id);
}

bool Host::PreviewKey(Dialog& dialog, int id, unsigned virtualKey) {
  return dialog.OnPreviewKey(id, virtualKey);
}

void Host::ControlKeyDown(Dialog& dialog, int id, unsigned virtualKey) {
  dialog.OnControlKeyDown(id, virtualKey);
}

void Host::Detach(Dialog& dialog) {
  dialog.window_ = nullptr;
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
