// The remote-control panel: 32 key buttons, the port choice and the capture box. Every key
// leaves as one key frame on the panel's own port; nothing is ever read back.
#pragma once

#include <cstdint>

#include "link/command_port.h"
#include "link/frames.h"
#include "link/procedure_dialog.h"
#include "remote/key_capture_edit.h"

namespace remote {

class RemotePanelDialog : public comm::ProcedureDialog {
 public:
  // portIndex: the creator's port index, which the panel's port choice assigns.
  explicit RemotePanelDialog(std::int32_t& portIndex, int baud = comm::kReceiverBaud);

  // Sends one key frame; only the low 8 bits of the code count. Without an open port the key
  // is dropped.
  void SendKey(unsigned code);

 protected:
  bool OnInitDialog() override;
  void OnOK() override {}  // Enter never closes the panel
  void OnCommand(int id) override;
  bool OnPreviewKey(int id, unsigned virtualKey) override;
  void OnControlKeyDown(int id, unsigned virtualKey) override;

 private:
  void OpenSelectedPort();
  void OnComPort(int n);
  void OpenOtherPort(std::int32_t n);

  std::int32_t& portIndex_;
  int baud_;
  comm::CommandPort port;
  comm::Frame keyFrame{};
  KeyCaptureEdit captureBox;
  std::int32_t radioIndex = -1;
};

}  // namespace remote
