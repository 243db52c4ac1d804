#include "app/port_setup_dialog.h"

#include <algorithm>
#include <string>

#include "link/com_ports.h"
#include "link/connect_dialog.h"
#include "res/port_radios.h"
#include "res/resource.h"
#include "ui/program_title.h"

namespace app {

namespace {
// The radio buttons hold COM1 to COM4; the list holds every port the system has beyond them.
constexpr int kLastRadioCom = static_cast<int>(res::kComRadioIds.size());
}  // namespace

PortSetupDialog::PortSetupDialog(std::int32_t& portIndex)
    : ui::Dialog(IDD_PORT_SETUP), portIndex_(portIndex) {}

bool PortSetupDialog::OnInitDialog() {
  radioIndex = portIndex_;
  SetRadioIndex(res::kComRadioIds, radioIndex);
  // The system's ports as they are now: a USB adapter plugged in since the last Setup counts.
  otherPorts_.clear();
  std::vector<std::string> items;
  for (const comm::SystemComPort& port : comm::ListComPorts()) {
    if (port.number > kLastRadioCom) {
      otherPorts_.push_back(port.number);
      items.push_back(comm::DescribeComPort(port.number, port.adapter));
    }
  }
  if (otherPorts_.empty()) {
    SetListItems(IDC_OTHER_PORT, {kNoOtherPortText});
    SelectListItem(IDC_OTHER_PORT, 0);
    EnableItem(IDC_OTHER_PORT, false);
    return true;
  }
  SetListItems(IDC_OTHER_PORT, items);
  // A kept port the system does not have now shows no choice, as a radio button would not.
  const auto kept =
      std::find(otherPorts_.begin(), otherPorts_.end(), static_cast<std::int64_t>(portIndex_) + 1);
  SelectListItem(IDC_OTHER_PORT,
                 kept == otherPorts_.end() ? -1 : static_cast<int>(kept - otherPorts_.begin()));
  return true;
}

void PortSetupDialog::OnCommand(int id) {
  // One choice at a time: a radio button or the list.
  if (id == IDC_OTHER_PORT) {
    SetRadioIndex(res::kComRadioIds, -1);
  } else if (std::find(res::kComRadioIds.begin(), res::kComRadioIds.end(), id) !=
             res::kComRadioIds.end()) {
    if (!otherPorts_.empty()) {
      SelectListItem(IDC_OTHER_PORT, -1);
    }
  }
}

std::int32_t PortSetupDialog::ChosenIndex() const {
  if (radioIndex >= 0 || otherPorts_.empty()) {
    return radioIndex;
  }
  const int selected = ListSelection(IDC_OTHER_PORT);
  if (selected < 0 || static_cast<std::size_t>(selected) >= otherPorts_.size()) {
    return -1;
  }
  return otherPorts_[static_cast<std::size_t>(selected)] - 1;
}

void PortSetupDialog::OnOK() {
  radioIndex = RadioIndex(res::kComRadioIds);
  // The choice is kept whatever the connection test then finds.
  portIndex_ = ChosenIndex();
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
