#include "remote/remote_panel_dialog.h"

#include <array>
#include <string>

#include "app/port_config.h"
#include "remote/key_codes.h"
#include "res/resource.h"
#include "ui/program_title.h"

namespace remote {

namespace {
constexpr std::array<int, 4> kRadioIds = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4};
}  // namespace

RemotePanelDialog::RemotePanelDialog() : ui::Dialog(IDD_REMOTE_PANEL) {
  SetNoOwner();  // a top-level window of its own, while the Control Panel is hidden
}

bool RemotePanelDialog::OnInitDialog() {
  SetRadioIndex(kRadioIds, radioIndex);
  SetAppIcon(true);
  keyFrame = comm::KeyFrame(0);
  SetItemText(IDC_CAPTURE, kCaptureHelpText);
  SetCaption(ui::kProgramTitle);
  CenterWindow();
  radioIndex = app::Config().portIndex;
  captureBox.SetOwnerPanel(this);
  CaptureKeys(IDC_CAPTURE);
  SetRadioIndex(kRadioIds, radioIndex);
  OpenSelectedPort();
  return true;  // the focus goes to the first tab stop, the capture box
}

void RemotePanelDialog::OpenSelectedPort() {
  const std::int32_t index = app::Config().portIndex;
  if (index >= 0 && index <= 3) {
    OnComPort(index + 1);
  }
}

void RemotePanelDialog::OnComPort(int n) {
  radioIndex = RadioIndex(kRadioIds);
  // The choice is kept before the port is tried, whatever the open then finds.
  app::Config().portIndex = radioIndex;
  if (!port.Open(n, comm::ReceiverBaud())) {
    ShowMessage("open port" + std::to_string(n) + " error!", ui::kProgramTitle);
  }
}

void RemotePanelDialog::SendKey(unsigned code) {
  keyFrame[9] = static_cast<std::uint8_t>(code & 0xFFu);
  port.Write(keyFrame.data(), static_cast<int>(keyFrame.size()));
}

void RemotePanelDialog::OnCommand(int id) {
  for (std::size_t i = 0; i < kRadioIds.size(); ++i) {
    if (id == kRadioIds[i]) {
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
