// "Communication Setup": the user picks COM1 to COM4, or any other port the system has from a
// list; OK stores the choice and tests it.
#pragma once

#include <cstdint>
#include <vector>

#include "ui/dialog.h"

namespace app {

class PortSetupDialog : public ui::Dialog {
 public:
  // portIndex: the configuration's port index, which OK assigns.
  explicit PortSetupDialog(std::int32_t& portIndex);

  // What the list says when the system has no port beyond COM4.
  static constexpr char kNoOtherPortText[] = "none found";

 protected:
  bool OnInitDialog() override;
  void OnOK() override;
  void OnCommand(int id) override;

 private:
  // The port index the dialog shows chosen: a radio button's, else the list's; -1 for none.
  std::int32_t ChosenIndex() const;

  std::int32_t& portIndex_;
  std::int32_t radioIndex = -1;  // position in the radio group, -1 for none
  std::vector<int> otherPorts_;  // the list's COM numbers, in its order
};

}  // namespace app
