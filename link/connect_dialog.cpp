#include "link/connect_dialog.h"

#include <string>

#include "link/frames.h"
#include "res/resource.h"
#include "ui/program_title.h"

namespace comm {

namespace {
constexpr int kHandshakeTimer = 1;
constexpr unsigned kHandshakeDelayMs = 200;
constexpr unsigned kSuccessPauseMs = 300;
}  // namespace

ConnectDialog::ConnectDialog(std::int32_t portIndex)
    : ui::Dialog(IDD_CONNECT), portIndex_(portIndex) {}

bool ConnectDialog::OnInitDialog() {
  SetProgress(IDC_PROGRESS, 60);
  // The handshake starts once the dialog is on screen.
  SetTimer(kHandshakeTimer, kHandshakeDelayMs);
  return true;
}

void ConnectDialog::OnTimer(int /*id*/) {
  SetWaitCursor(true);
  KillTimer(kHandshakeTimer);  // exactly one handshake
  EndDialog(Connect() ? ui::kIdOk : ui::kIdCancel);
  SetWaitCursor(false);
}

// An exception inside (memory running out while a message is built) ends it with 0.
int ConnectDialog::Connect() try {
  std::string failure;
  if (!OpenReceiverPort(port_, portIndex_, failure)) {
    ShowMessage(failure, ui::kProgramTitle);
    return 0;
  }
  port_.SendCommand(CMD_CONNECT);
  if (!port_.WaitAck()) {
    ShowMessage("no answer！", ui::kProgramTitle);
    return 0;
  }
  SetProgress(IDC_PROGRESS, 100);
  Repaint();
  Pause(kSuccessPauseMs);
  return 1;
} catch (...) {
  return 0;
}

}  // namespace comm
