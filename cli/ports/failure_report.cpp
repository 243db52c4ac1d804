#include "cli/ports/failure_report.h"

#include "cli/console/exit_code.h"
#include "cli/ports/system_ports.h"
#include "link/command_port.h"
#include "link/serial_port.h"
#include "ui/headless/console_host.h"

namespace cli {

std::string OpenFailureWord(comm::PortFailure failure, const std::string& detail) {
  using comm::PortFailure;
  switch (failure) {
    case PortFailure::kNotPermitted:
      return "not permitted";
    case PortFailure::kBusy:
      return "busy";
    case PortFailure::kMissing:
      return "no such device";
    case PortFailure::kUnknownHost:
      return "unknown host";
    case PortFailure::kRefused:
      return "refused";
    case PortFailure::kSettings:
      return "line settings refused";
    case PortFailure::kNone:
    case PortFailure::kOther:
      break;
  }
  return detail;
}

namespace {

std::string FailureWord(const comm::Outcome& outcome) {
  return OpenFailureWord(outcome.portFailure, outcome.portFailureDetail);
}

}  // namespace

std::string ResultText(const comm::Outcome& outcome) {
  using Ending = comm::Outcome::Ending;
  switch (outcome.ending) {
    case Ending::kDone:
      return "ok";
    case Ending::kCancelled:
      return "cancelled";
    case Ending::kPortFailed:
      return FailureWord(outcome).empty() ? "cannot open" : "cannot open: " + FailureWord(outcome);
    case Ending::kVersionMismatch:
      return "receiver of another kind";
    case Ending::kNoMemory:
      return "out of memory";
    case Ending::kNoAnswer:
    case Ending::kBadRomFile:
    case Ending::kFileNotWritten:
      break;
  }
  return outcome.message;
}

std::string OpenFailureText(const comm::Outcome& outcome, const std::string& device) {
  using comm::PortFailure;
  const std::string& detail = outcome.portFailureDetail;
  const std::string word = FailureWord(outcome);
  std::string text = word.empty() ? "the system gave no reason" : word;
  switch (outcome.portFailure) {
    case PortFailure::kNotPermitted:
      text += " (" + detail + ")";
      if (const std::string remedy = AccessRemedy(device); !remedy.empty()) {
        text += "; " + remedy;
      }
      return text;
    case PortFailure::kBusy:
      return text + ": " +
             (detail == "another program holds it" ? detail
                                                   : "another program holds it (" + detail + ")");
    case PortFailure::kMissing:
    case PortFailure::kUnknownHost:
    case PortFailure::kRefused:
    case PortFailure::kSettings:
      return detail.empty() ? text : text + " (" + detail + ")";
    case PortFailure::kNone:
    case PortFailure::kOther:
      break;
  }
  return text;
}

int ExitCodeFor(const comm::Outcome& outcome) {
  using Ending = comm::Outcome::Ending;
  switch (outcome.ending) {
    case Ending::kDone:
      return kExitOk;
    case Ending::kPortFailed:
      return kExitPort;
    case Ending::kBadRomFile:
      return kExitRomFile;
    case Ending::kFileNotWritten:
      return kExitFileWrite;
    case Ending::kCancelled:
    case Ending::kNoAnswer:
    case Ending::kVersionMismatch:
    case Ending::kNoMemory:
      return kExitReceiver;
  }
  return kExitReceiver;
}

FailureReport ReportFailure(EventReporter& reporter, const comm::Outcome& outcome,
                            const std::string& port, std::int32_t portIndex) {
  if (ui::ConsoleHost::CancelRequested()) {
    reporter.Message("interrupted");
    return {kExitReceiver, "interrupted"};
  }
  const std::string device = comm::SerialPort::DevicePath(comm::ComNumber(portIndex));
  const bool busy = outcome.ending == comm::Outcome::Ending::kPortFailed &&
                    outcome.portFailure == comm::PortFailure::kBusy;
  if (outcome.ending == comm::Outcome::Ending::kPortFailed) {
    // "open port1 error!" is all the program says; the reason is what the user acts on.
    reporter.Message("cannot open " + port + ": " + OpenFailureText(outcome, device));
  }
  if (busy || outcome.ending == comm::Outcome::Ending::kNoAnswer) {
    if (const std::string hint = ModemManagerHint(device, busy); !hint.empty()) {
      reporter.Message(hint);
    }
  }
  return {ExitCodeFor(outcome), ResultText(outcome)};
}

}  // namespace cli
