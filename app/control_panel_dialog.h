// The Control Panel: the program's main window, from which every function is reached.
#pragma once

#include "ui/dialog.h"

namespace app {

class ControlPanelDialog : public ui::Dialog {
 public:
  ControlPanelDialog();

 protected:
  bool OnInitDialog() override;
  void OnOK() override;
  void OnCommand(int id) override;
};

}  // namespace app
