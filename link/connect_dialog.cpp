#include "link/connect_dialog.h"

#include <string>

#include "link/frames.h"
#include "res/resource.h"

namespace comm {

namespace {
constexpr int kHandshakeTimer = 1;
constexpr unsigned kHandshakeDelayMs = 200;
constexpr unsigned kSuccessPauseMs = 300;
}  // namespace

ConnectDialog::ConnectDialog(std::int32_t portIndex, int baud)
    : ProcedureDialog(IDD_CONNECT), portIndex_(portIndex), baud_(baud) {}

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
  if (!OpenReceiverPort(port_, portIndex_, baud_)) {
    return 0;
  }
  port_.SendCommand(CMD_CONNECT);
  if (!port_.WaitAck()) {
    Report(Outcome::Ending::kNoAnswer, "no answer！");
    return 0;
  }
  SetProgress(IDC_PROGRESS, 100);
  RepaintItem(IDC_PROGRESS);  // the pause holds the message loop: show 100 now
  Pause(kSuccessPauseMs);
  outcome_.ending = Outcome::Ending::kDone;
  return 1;
} catch (...) {
  return 0;
}

}  // namespace comm
