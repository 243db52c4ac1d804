#include "link/procedure_dialog.h"

#include "res/resource.h"
#include "ui/program_title.h"

namespace comm {

void ProcedureDialog::Report(comm::Outcome::Ending ending, const std::string& message) {
  outcome_.ending = ending;
  outcome_.message = message;
  if (!message.empty()) {
    ShowMessage(message, ui::kProgramTitle);
  }
}

void ProcedureDialog::ReportPortFailure(const SerialPort& port, std::int32_t com) {
  outcome_.portFailure = port.LastFailure();
  outcome_.portFailureDetail = port.FailureDetail();
  Report(comm::Outcome::Ending::kPortFailed, OpenPortFailure(com));
}

bool ProcedureDialog::OpenReceiverPort(CommandPort& port, std::int32_t portIndex, int baud) {
  const std::int32_t com = ComNumber(portIndex);
  if (!port.Open(com, baud)) {
    ReportPortFailure(port, com);
    return false;
  }
  port.SetBinaryMode(true);
  return true;
}

void ProcedureDialog::ShowProgress(std::uint32_t done, std::uint32_t count) {
  outcome_.blocksDone = done;
  outcome_.blockCount = count;
  SetProgress(IDC_PROGRESS, static_cast<int>(done * 100u / count));
  SetItemText(IDC_PROGRESS_TEXT, std::to_string(done) + "/" + std::to_string(count) + " blocks");
  RepaintProgress();
  if (listener_ != nullptr) {
    listener_->BlocksDone(done, count);
  }
}

void ProcedureDialog::ShowNoProgressYet() {
  SetItemText(IDC_PROGRESS_TEXT, "0/0 blocks");
  RepaintProgress();
}

void ProcedureDialog::RepaintProgress() {
  RepaintItem(IDC_PROGRESS);
  RepaintItem(IDC_PROGRESS_TEXT);
}

}  // namespace comm
