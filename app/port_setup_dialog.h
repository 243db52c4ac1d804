// "Communication Setup": the user picks COM1 to COM4; OK stores the choice and tests it.
#pragma once

#include <cstdint>

#include "ui/dialog.h"

namespace app {

class PortSetupDialog : public ui::Dialog {
 public:
  // portIndex: the configuration's port index, which OK assigns.
  explicit PortSetupDialog(std::int32_t& portIndex);

 protected:
  bool OnInitDialog() override;
  void OnOK() override;

 private:
  std::int32_t& portIndex_;
  std::int32_t radioIndex = -1;  // position in the radio group, -1 for none
};

}  // namespace app
