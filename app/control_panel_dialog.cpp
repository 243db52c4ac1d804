#include "app/control_panel_dialog.h"

#include <string>

#include "app/about_dialog.h"
#include "app/port_setup_dialog.h"
#include "remote/remote_panel_dialog.h"
#include "res/resource.h"
#include "transfer/read_software_dialog.h"
#include "transfer/upgrade_dialog.h"
#include "ui/program_title.h"

namespace app {

ControlPanelDialog::ControlPanelDialog(std::int32_t& portIndex)
    : ui::Dialog(IDD_CONTROL_PANEL), portIndex_(portIndex) {}

bool ControlPanelDialog::OnInitDialog() {
  SetAppIcon();
  SetCaption(ui::kProgramTitle);
  SetItemText(IDC_PANEL_GROUP, std::string(ui::kProgramTitle) + " Control Panel");
  CenterWindow();
  return true;
}

// Enter must not close the program's main window.
void ControlPanelDialog::OnOK() {}

void ControlPanelDialog::OnCommand(int id) {
  switch (id) {
    case IDC_SETUP_COMM: {
      PortSetupDialog setup(portIndex_);
      setup.DoModal();
      break;
    }
    case IDC_KEYBOARD_CONTROL: {
      // The panel replaces the Control Panel on screen while it runs.
      ShowWindow(false);
      {
        remote::RemotePanelDialog panel(portIndex_);
        panel.DoModal();
      }
      ShowWindow(true);
      break;
    }
    case IDC_READ_SOFTWARE: {
      transfer::ReadSoftwareDialog read(portIndex_);
      read.DoModal();
      break;
    }
    case IDC_UPGRADE_SOFTWARE: {
      ui::FileDialogRequest request;
      request.title = "open rom(*.bin) file";
      request.filter = "rom image file(*.bin)|*.bin||";
      request.initialName = "rom.bin";
      request.mustExist = true;
      request.overwritePrompt = true;
      std::string path;
      if (AskOpenFileName(request, path)) {
        transfer::UpgradeDialog upgrade(path, portIndex_);
        upgrade.DoModal();
      }
      break;
    }
    case IDC_ABOUT: {
      AboutDialog about;
      about.DoModal();
      break;
    }
    default:
      break;
  }
}

}  // namespace app
