// vl-throw-check.exe: dialogs whose handlers throw, run by the real dialog manager. Each must
// end with IDCANCEL, and the program must go on to print "2 2" and exit 0.
#include <cstdio>
#include <new>
#include <stdexcept>

#include "res/resource.h"
#include "ui/win32/win32_host.h"

namespace {

class ThrowsAtStart : public ui::Dialog {
 public:
  ThrowsAtStart() : ui::Dialog(IDD_CONNECT) {}
  bool OnInitDialog() override { throw std::bad_alloc(); }
};

class ThrowsOnTick : public ui::Dialog {
 public:
  ThrowsOnTick() : ui::Dialog(IDD_CONNECT) {}
  bool OnInitDialog() override {
    SetTimer(1, 20);
    return true;
  }
  void OnTimer(int /*id*/) override { throw std::runtime_error("a step failed"); }
};

}  // namespace

int main() {
  ui::Win32Host host;
  ui::Host::Install(&host);
  const int atStart = ThrowsAtStart().DoModal();
  const int onTick = ThrowsOnTick().DoModal();
  std::printf("%d %d\n", atStart, onTick);
  return atStart == ui::kIdCancel && onTick == ui::kIdCancel ? 0 : 1;
}
