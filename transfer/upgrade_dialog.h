// "Upgrade Receiver Software": loads and checks a ROM image file, then writes it into the
// receiver one 4096-byte block per accepted reply, a 50 ms tick stepping the exchange.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/command_port.h"
#include "ui/dialog.h"

namespace transfer {

class UpgradeDialog : public ui::Dialog {
 public:
  // romPath: the full path (UTF-8) of the chosen file; portIndex: 0 to 3 for COM1 to COM4.
  UpgradeDialog(std::string romPath, std::int32_t portIndex);

  // True once the receiver took every block and was told to stop.
  bool Completed() const { return blockCount != 0 && blocksDone > blockCount; }

 protected:
  bool OnInitDialog() override;
  void OnOK() override {}  // Enter never closes the dialog
  void OnCancel() override;
  void OnTimer(int id) override;
  bool IsTickReady(int id) override;

 private:
  int LoadRomImage();
  int StartTransfer();
  void ShowProgress(std::uint32_t k);
  void ShowVersionMismatch(int fileVariant, int reportedVariant);
  bool IsAcknowledgement(const std::uint8_t* reply) const;
  void Fail(const std::string& message);
  void Complete();

  std::int32_t portIndex_;
  comm::CommandPort port;
  std::int32_t variant = 0;
  std::uint32_t blockCount = 0;
  std::uint32_t blocksDone = 0;
  std::uint32_t silenceMs = 0;
  std::vector<std::uint8_t> image;
  std::string romPath;
};

// The mismatch text: the file's and the receiver's version names, four lines.
std::string VersionMismatchText(int fileVariant, int reportedVariant);

// Loads a ROM image file and checks it as the upgrade does: true with the whole file and its
// variant, or false with the message to show (empty when memory ran out, which says nothing).
bool LoadImageFile(const std::string& path, std::vector<std::uint8_t>& image, int& variant,
                   std::string& message);

}  // namespace transfer
