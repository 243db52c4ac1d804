// A dialog that runs an exchange with the receiver (connect, read, upgrade, the remote
// panel): it tells its caller how it ended as a value, and a transfer its progress as numbers.
#pragma once

#include <cstdint>
#include <string>

#include "link/command_port.h"
#include "link/outcome.h"
#include "ui/dialog.h"

namespace comm {

class ProcedureDialog : public ui::Dialog {
 public:
  using ui::Dialog::Dialog;

  // How the run ended; read after DoModal.
  const comm::Outcome& Outcome() const { return outcome_; }
  // Told of each block moved; the caller's, and it must outlive the run.
  void SetProgressListener(ProgressListener* listener) { listener_ = listener; }
  // A cancel in the middle of an exchange tells the receiver with CMD_STOP, as a failure
  // does, so that a run ended from outside (Ctrl-C, a closed session) leaves a receiver that
  // knows its exchange is over. The program's own Cancel button sends nothing.
  void StopOnCancel(bool stop) { stopOnCancel_ = stop; }

 protected:
  // Records how it ends, then shows the message (if any) to the user, owned by this dialog.
  void Report(comm::Outcome::Ending ending, const std::string& message);
  // Records why port could not be opened as COM<com>, with the system's reason, and shows
  // "open port%d error!".
  void ReportPortFailure(const SerialPort& port, std::int32_t com);
  // Opens COM(portIndex + 1) at the baud in binary mode, as every exchange starts; when it
  // cannot, reports so and returns false.
  bool OpenReceiverPort(CommandPort& port, std::int32_t portIndex, int baud);
  // The progress bar at done × 100 / count and the text "done/count blocks"; only these two
  // are repainted, at once (a transfer does this hundreds of times).
  void ShowProgress(std::uint32_t done, std::uint32_t count);
  // "0/0 blocks", before the block count is known.
  void ShowNoProgressYet();

  bool StopsOnCancel() const { return stopOnCancel_; }

  comm::Outcome outcome_;

 private:
  // The bar and its text only; the rest of the dialog does not change between blocks.
  void RepaintProgress();

  ProgressListener* listener_ = nullptr;
  bool stopOnCancel_ = false;
};

}  // namespace comm
