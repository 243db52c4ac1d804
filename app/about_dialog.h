// The About box: program name, version and release date.
#pragma once

#include "ui/dialog.h"

namespace app {

class AboutDialog : public ui::Dialog {
 public:
  AboutDialog();

 protected:
  bool OnInitDialog() override;
};

}  // namespace app
