// The real host: dialogs run in the Win32 dialog manager from the templates of res/.
#pragma once

#include <vector>

#include "ui/dialog.h"

namespace ui {

class Win32Host : public Host {
 public:
  Win32Host();
  int RunModal(Dialog& dialog) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;

 private:
  friend class Win32Window;
  void* instance_;
  std::vector<void*> running_;  // windows of the running dialogs, innermost last
};

}  // namespace ui
