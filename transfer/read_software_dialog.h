// "Read Receiver Software": copies the receiver's flash into a ROM image file, one 4096-byte
// block per 50 ms tick, answering each block with the receiver's own variant report frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "link/command_port.h"
#include "link/procedure_dialog.h"

namespace transfer {

class ReadSoftwareDialog : public comm::ProcedureDialog {
 public:
  // portIndex: 0 to 3 for COM1 to COM4, used as it is.
  explicit ReadSoftwareDialog(std::int32_t portIndex, int baud = comm::kReceiverBaud);

  // A receiver that reports another kind than this ends the read at once (CMD_STOP, no
  // message, kVersionMismatch): a caller that compares with a file of that kind learns all it
  // needs before the first block. By default any kind is read.
  void ExpectKind(int kind) { expectedKind_ = kind; }

 protected:
  bool OnInitDialog() override;
  void OnOK() override {}  // Enter does nothing
  void OnCancel() override;
  void OnTimer(int id) override;
  bool AwaitTick(int id, std::chrono::steady_clock::time_point until) override;

 private:
  bool StartRead();
  void OnReplyTick();
  void OnBlockTick();
  // The tick after the last block: in step, the echo, CMD_READ_DONE and the file.
  void FinishRead();
  void WriteImageFile();
  // Sends CMD_STOP, ends the dialog, then says why.
  void Fail(comm::Outcome::Ending ending, const char* message);
  // The timers stopped and the dialog ended, nothing sent.
  void Close();

  std::int32_t portIndex_;
  int baud_;
  comm::CommandPort port;
  std::uint32_t variant = 0;
  std::uint32_t blockCount = 0;
  std::uint32_t blocksDone = 0;
  std::uint32_t replyWaitMs = 0;
  std::uint32_t blockWaitMs = 0;
  std::unique_ptr<std::uint8_t[]> image;
  std::string targetPath;
  int expectedKind_ = -1;
  bool running_ = false;  // CMD_READ_START sent, the read not ended
};

}  // namespace transfer
