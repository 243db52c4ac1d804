// vl-bench-headless: runs a read or an upgrade through the dialog classes under the headless
// host, its 50 ms ticks on the real clock, against a receiver on COM1 of a port-map folder.
//   vl-bench-headless PORTMAP read TARGET [BLOCKS]
//   vl-bench-headless PORTMAP upgrade ROMFILE [BLOCKS]
//   vl-bench-headless PORTMAP idle
// BLOCKS stops (as Cancel does) after that many blocks; 0 or none runs the whole transfer.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "link/serial_port.h"
#include "transfer/read_software_dialog.h"
#include "transfer/upgrade_dialog.h"
#include "ui/headless/headless_host.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vl-bench-headless PORTMAP read|upgrade|idle [FILE [BLOCKS]]\n");
    return 2;
  }
  comm::SerialPort::SetPortMapFolder(argv[1]);
  const std::string mode = argv[2];
  const std::string file = argc > 3 ? argv[3] : "";
  const unsigned long blocks = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 0;
  ui::HeadlessHost host;
  if (mode == "idle") {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return 0;
  }
  host.AnswerFileDialog(file);
  host.Then([&host, blocks](ui::HeadlessWindow& dialog) {
    using Clock = std::chrono::steady_clock;
    auto next = Clock::now();
    while (!dialog.Ended() && !dialog.RunningTimers().empty()) {
      next += std::chrono::milliseconds(50);
      std::this_thread::sleep_until(next);
      host.AdvanceNow(50);
      // The status text counts blocks; its first entry is "0/0 blocks".
      if (blocks != 0 && dialog.TextHistory(1087).size() > blocks + 1) {
        dialog.PressEscape();
      }
    }
  });
  host.PressEscape();  // closes a finished upgrade
  int result = 0;
  if (mode == "read") {
    transfer::ReadSoftwareDialog read(0);
    result = read.DoModal();
  } else if (mode == "upgrade") {
    transfer::UpgradeDialog upgrade(file, 0);
    result = upgrade.DoModal();
  }
  for (const ui::Event& event : host.Messages()) {
    std::fprintf(stderr, "message: %s\n", event.text.c_str());
  }
  return host.Messages().empty() && result != -1 ? 0 : 1;
}
