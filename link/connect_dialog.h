// "Connect to the receiver": opens the chosen port, sends CMD_CONNECT and waits for the
// acknowledgement while a progress bar shows. Ends with IDOK only when the receiver answered.
#pragma once

#include <cstdint>

#include "link/command_port.h"
#include "link/procedure_dialog.h"

namespace comm {

// What the user is told when the receiver answered the connection test.
inline constexpr char kConnectOkText[] = "connect ok!";

class ConnectDialog : public ProcedureDialog {
 public:
  // portIndex: 0 to 3 for COM1 to COM4, used as it is (any other value fails to open).
  explicit ConnectDialog(std::int32_t portIndex, int baud = kReceiverBaud);

 protected:
  bool OnInitDialog() override;
  void OnTimer(int id) override;
  // The dialog has no buttons; Enter must not end it as a success.
  void OnOK() override {}

 private:
  int Connect();

  std::int32_t portIndex_;
  int baud_;
  CommandPort port_;
};

}  // namespace comm
