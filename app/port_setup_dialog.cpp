#include "app/port_setup_dialog.h"

#include "link/connect_dialog.h"
#include "res/port_radios.h"
#include "res/resource.h"
#include "ui/program_title.h"

namespace app {

PortSetupDialog::PortSetupDialog(std::int32_t& portIndex)
    : ui::Dialog(IDD_PORT_SETUP), portIndex_(portIndex) {}

bool PortSetupDialog::OnInitDialog() {
  radioIndex = portIndex_;
  SetRadioIndex(res::kComRadioIds, radioIndex);
  return true;
}

void PortSetupDialog::OnOK() {
  radioIndex = RadioIndex(res::kComRadioIds);
  // The choice is kept whatever the connection test then finds.
  portIndex_ = radioIndex;
  bool connected = false;
  {
    comm::ConnectDialog connect(portIndex_);
    connected = connect.DoModal() == ui::kIdOk;
  }  // its port is closed here
  if (connected) {
    ShowMessage(comm::kConnectOkText, ui::kProgramTitle);
  }
  EndDialog(ui::kIdOk);
}

}  // namespace app
