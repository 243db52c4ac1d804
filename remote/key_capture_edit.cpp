#include "remote/key_capture_edit.h"

#include "remote/key_codes.h"
#include "remote/remote_panel_dialog.h"

namespace remote {

namespace {
constexpr unsigned kReturnKey = 0x0D;
constexpr unsigned kEscapeKey = 0x1B;
}  // namespace

void KeyCaptureEdit::OnKeyDown(unsigned virtualKey) {
  const auto code = KeyCodeForVirtualKey(virtualKey);
  if (code && ownerPanel != nullptr) {
    ownerPanel->SendKey(*code);
  }
}

bool KeyCaptureEdit::FilterDialogKey(unsigned virtualKey) {
  if (virtualKey == kReturnKey || virtualKey == kEscapeKey) {
    OnKeyDown(virtualKey);
    return true;
  }
  return false;
}

}  // namespace remote
