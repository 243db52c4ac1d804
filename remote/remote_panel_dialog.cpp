#include "remote/remote_panel_dialog.h"

#include <cstdint>
#include <limits>

#include "remote/key_codes.h"
#include "res/port_radios.h"
#include "res/resource.h"
#include "ui/program_title.h"

namespace remote {

namespace {
using res::kComRadioIds;
}  // namespace

RemotePanelDialog::RemotePanelDialog(std::int32_t& portIndex, int baud)
    : ProcedureDialog(IDD_REMOTE_PANEL), portIndex_(portIndex), baud_(baud) {
  SetNoOwner();  // a top-level window of its own, while the Control Panel is hidden
  outcome_.ending = comm::Outcome::Ending::kDone;  // closing the panel is its normal end
}

bool RemotePanelDialog::OnInitDialog() {
  SetRadioIndex(kComRadioIds, radioIndex);
  SetAppIcon(true);
  keyFrame = comm::KeyFrame(0);
  SetItemText(IDC_CAPTURE, kCaptureHelpText);
  SetCaption(ui::kProgramTitle);
  CenterWindow();
  radioIndex = portIndex_;
  captureBox.SetOwnerPanel(this);
  CaptureKeys(IDC_CAPTURE);
  SetRadioIndex(kComRadioIds, radioIndex);
  OpenSelectedPort();
  return true;  // the focus goes to the first tab stop, the capture box
}

void RemotePanelDialog::OpenSelectedPort() {
  const std::int32_t index = portIndex_;
  if (index >= 0 && index <= 3) {
    OnComPort(index + 1);
  } else if (index > 3 && index < std::numeric_limits<std::int32_t>::max()) {
    // A port beyond COM4, chosen in Communication Setup: opened as it is, the radio buttons
    // left clear until the user clicks one.
    OpenOtherPort(index + 1);
  }
}

void RemotePanelDialog::OpenOtherPort(std::int32_t n) {
  if (!port.Open(n, baud_)) {
    ReportPortFailure(port, n);
  }
}

void RemotePanelDialog::OnComPort(int n) {
  radioIndex = RadioIndex(kComRadioIds);
  // The choice is kept before the port is tried, whatever the open then finds.
  portIndex_ = radioIndex;
  if (port.Open(n, baud_)) {
    outcome_ = comm::Outcome{};
    outcome_.ending = comm::Outcome::Ending::kDone;
  } else {
    ReportPortFailure(port, n);
  }
}

void RemotePanelDialog::SendKey(unsigned code) {
  keyFrame[9] = static_cast<std::uint8_t>(code & 0xFFu);
  port.Write(keyFrame.data(), static_cast<int>(keyFrame.size()));
}

void RemotePanelDialog::OnCommand(int id) {
  for (std::size_t i = 0; i < kComRadioIds.size(); ++i) {
    if (id == kComRadioIds[i]) {
      OnComPort(static_cast<int>(i) + 1);
      return;
    }
  }
  if (const auto code = KeyCodeForButton(id)) {
    SendKey(*code);
  }
}

bool RemotePanelDialog::OnPreviewKey(int id, unsigned virtualKey) {
  return id == IDC_CAPTURE && captureBox.FilterDialogKey(virtualKey);
}

void RemotePanelDialog::OnControlKeyDown(int id, unsigned virtualKey) {
  if (id == IDC_CAPTURE) {
    captureBox.OnKeyDown(virtualKey);
  }
}

}  // namespace remote
