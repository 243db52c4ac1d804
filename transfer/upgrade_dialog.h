// "Upgrade Receiver Software": loads and checks a ROM image file, then writes it into the
// receiver one 4096-byte block per accepted reply, a 50 ms tick stepping the exchange.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "link/command_port.h"
#include "link/procedure_dialog.h"

namespace transfer {

class UpgradeDialog : public comm::ProcedureDialog {
 public:
  // romPath: the full path (UTF-8) of the chosen file; portIndex: 0 to 3 for COM1 to COM4.
  UpgradeDialog(std::string romPath, std::int32_t portIndex, int baud = comm::kReceiverBaud);

 protected:
  bool OnInitDialog() override;
  void OnOK() override {}  // Enter never closes the dialog
  void OnCancel() override;
  void OnTimer(int id) override;
  bool AwaitTick(int id, std::chrono::steady_clock::time_point until) override;

 private:
  int LoadRomImage();
  int StartTransfer();
  bool IsAcknowledgement(const std::uint8_t* reply) const;
  void Fail(comm::Outcome::Ending ending, const std::string& message);
  // The timer stopped and the dialog ended, nothing sent.
  void Close();
  void Complete();

  std::int32_t portIndex_;
  int baud_;
  comm::CommandPort port;
  std::int32_t variant = 0;
  std::uint32_t blockCount = 0;
  std::uint32_t blocksDone = 0;
  std::uint32_t silenceMs = 0;
  std::vector<std::uint8_t> image;
  std::string romPath;
  bool running_ = false;  // CMD_UPGRADE_START sent, the upgrade not ended
};

// The mismatch text: the file's and the receiver's version names, four lines.
std::string VersionMismatchText(int fileVariant, int reportedVariant);

// Loads a ROM image file and checks it as the upgrade does: true with the whole file and its
// variant, or false with how it failed and the message to show (empty when memory ran out,
// which says nothing).
bool LoadImageFile(const std::string& path, std::vector<std::uint8_t>& image, int& variant,
                   comm::Outcome& failure);

}  // namespace transfer
