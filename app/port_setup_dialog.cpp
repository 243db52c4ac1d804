#include "app/port_setup_dialog.h"

#include <array>

#include "app/port_config.h"
#include "link/connect_dialog.h"
#include "res/resource.h"
#include "ui/program_title.h"

namespace app {

namespace {
// The radio group's buttons by position; their ids are not consecutive.
constexpr std::array<int, 4> kRadioIds = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4};
}  // namespace

PortSetupDialog::PortSetupDialog() : ui::Dialog(IDD_PORT_SETUP) {}

bool PortSetupDialog::OnInitDialog() {
  radioIndex = Config().portIndex;
  SetRadioIndex(kRadioIds, radioIndex);
  return true;
}

void PortSetupDialog::OnOK() {
  radioIndex = RadioIndex(kRadioIds);
  // The choice is kept whatever the connection test then finds.
  Config().portIndex = radioIndex;
  bool connected = false;
  {
    comm::ConnectDialog connect(Config().portIndex);
    connected = connect.DoModal() == ui::kIdOk;
  }  // its port is closed here
  if (connected) {
    ShowMessage("connect ok!", ui::kProgramTitle);
  }
  EndDialog(ui::kIdOk);
}

}  // namespace app
