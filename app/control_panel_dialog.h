// The Control Panel: the program's main window, from which every function is reached.
#pragma once

#include <cstdint>

#include "ui/dialog.h"

namespace app {

class ControlPanelDialog : public ui::Dialog {
 public:
  // portIndex: the configuration's port index; Communication Setup and the remote panel
  // assign it.
  explicit ControlPanelDialog(std::int32_t& portIndex);

 protected:
  bool OnInitDialog() override;
  void OnOK() override;
  void OnCommand(int id) override;

 private:
  std::int32_t& portIndex_;
};

}  // namespace app
