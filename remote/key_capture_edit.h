// The capture box of the remote-control panel: while it has the focus, arrows, digits, Space,
// Enter, Esc and Delete act as keys of the receiver's remote control.
#pragma once

namespace remote {

class RemotePanelDialog;

class KeyCaptureEdit {
 public:
  void SetOwnerPanel(RemotePanelDialog* panel) { ownerPanel = panel; }

  // A key-down after the box's own processing: a mapped key sends its remote key.
  void OnKeyDown(unsigned virtualKey);
  // Sees each key-down before the dialog does; Enter and Esc are sent as OK and EXIT here and
  // go no further, so they neither close the panel nor press its OK command.
  bool FilterDialogKey(unsigned virtualKey);

 private:
  RemotePanelDialog* ownerPanel = nullptr;
};

}  // namespace remote
