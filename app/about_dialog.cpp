#include "app/about_dialog.h"

#include <string>

#include "res/resource.h"
#include "ui/program_title.h"

namespace app {

AboutDialog::AboutDialog() : ui::Dialog(IDD_ABOUTBOX) {}

bool AboutDialog::OnInitDialog() {
  const std::string title = ui::kProgramTitle;
  SetCaption("About " + title);
  SetItemText(IDC_ABOUT_NAME, title + "    version 1.0");
  SetItemText(IDC_ABOUT_DATE, "Released 2004-12-10");
  return true;
}

}  // namespace app
