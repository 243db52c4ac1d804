#include "cli/watch/watch_loop.h"

#include <algorithm>
#include <thread>

#include "cli/ports/failure_report.h"
#include "cli/ports/port_names.h"
#include "link/command_port.h"
#include "link/serial_port.h"

namespace cli {

namespace {

// A receiver that has not answered for this long has gone, unless its restart took longer:
// three connection tests in a row without an answer.
constexpr std::chrono::steady_clock::duration kGoneAfter = std::chrono::seconds(3);

}  // namespace

WatchLoop::WatchLoop(const WatchOptions& options, ReceiverHandler handle, ConsoleOutput& output,
                     EventReporter::Style style, const std::string& port, std::size_t slot,
                     bool several, WatchTally& tally)
    : options_(options),
      handle_(std::move(handle)),
      output_(output),
      style_(style),
      selection_(port),
      slot_(slot),
      several_(several),
      tally_(tally),
      check_(selection_.Index(), options.baud, options.fast, options.once,
             FileLabel(selection_.Label()), options.images) {}

void WatchLoop::Run() {
  EventReporter states(output_, style_, options_.quiet, selection_.Label(), several_, slot_);
  states.KeepBars(false);
  ConnectionProbe probe(selection_.Index(), options_.baud);
  std::optional<ProvenFlash> told;  // a receiver told from the last one by a read
  while ((told || AwaitArrival(probe, states)) && tally_.Claim()) {
    // The dialogs open the port themselves.
    probe.Release();
    HeldFlash held;
    const PortSummary box = Handle(told ? &*told : nullptr, held);
    told.reset();
    const Clock::time_point handled = Clock::now();
    tally_.Handled(box);
    if (tally_.Over()) {
      break;
    }
    if (box.otherReceiver) {
      continue;  // the receiver that answers now is a new one: it is handled as such
    }
    ShowHandled(box, states);
    AwaitDeparture(probe, box, held, handled, states, told);
  }
  output_.SetLive(slot_, std::string());
}

void WatchLoop::ShowHandled(const PortSummary& box, EventReporter& states) {
  if (box.exitCode != kExitOk) {
    states.State("failed", "failed: " + box.result + "; swap the receiver");
  } else if (box.upToDate) {
    states.State("up to date", "up to date: swap the receiver");
  } else {
    states.State("done", "done: swap the receiver");
  }
}

bool WatchLoop::AwaitArrival(ConnectionProbe& probe, EventReporter& states) {
  states.State("waiting", "waiting for a receiver");
  std::string shown;  // why the port is not there, as last shown
  while (!tally_.Over()) {
    const ConnectionProbe::Answer answer = probe.Ask(Clock::now() + ConnectionProbe::kEvery);
    if (answer == ConnectionProbe::Answer::kAnswered) {
      return true;
    }
    if (answer == ConnectionProbe::Answer::kNoPort) {
      ShowTrouble(probe.Port(), states, shown);
    } else if (!shown.empty()) {
      shown.clear();
      states.State("waiting", "waiting for a receiver");
    }
  }
  return false;
}

void WatchLoop::ShowTrouble(const comm::SerialPort& port, EventReporter& states,
                            std::string& shown) {
  const comm::PortFailure failure = port.LastFailure();
  std::string trouble = OpenFailureWord(failure, port.FailureDetail());
  if (trouble.empty()) {
    trouble = "its line is gone";
  }
  if (trouble == shown) {
    return;
  }
  shown = trouble;
  states.State("waiting", "waiting for a receiver (" + trouble + ")", trouble);
  // A port that is missing comes with its receiver; one this user may not open does not.
  if (failure == comm::PortFailure::kNotPermitted || failure == comm::PortFailure::kBusy ||
      failure == comm::PortFailure::kSettings) {
    comm::Outcome outcome;
    outcome.portFailure = failure;
    outcome.portFailureDetail = port.FailureDetail();
    states.Message("cannot open " + selection_.Label() + ": " +
                   OpenFailureText(
                       outcome, comm::SerialPort::DevicePath(comm::ComNumber(selection_.Index()))));
  }
}

PortSummary WatchLoop::Handle(const ProvenFlash* told, HeldFlash& held) {
  EventReporter reporter(output_, style_, options_.quiet, selection_.Label(), several_, slot_);
  reporter.KeepBars(false);
  return handle_(reporter, told, held);
}

void WatchLoop::AwaitDeparture(ConnectionProbe& probe, const PortSummary& box,
                               const HeldFlash& held, Clock::time_point handled,
                               EventReporter& states, std::optional<ProvenFlash>& told) {
  // The longest silence that is still this receiver: its restart, and half again.
  const auto silenceFor = [](Clock::duration restart) {
    return std::max(kGoneAfter, restart * 3 / 2);
  };
  Clock::duration limit = kGoneAfter;
  if (box.written && box.restartSeconds >= 0) {
    limit = silenceFor(std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(box.restartSeconds)));
  }
  // Written and not read back, or not answering after its restart, or stopped in the middle
  // of its write: it may restart now, for as long as a restart may take, and answer again.
  // Until it has, silence (even a port that has gone, as an adapter restarting with its box
  // does) is that restart.
  bool restarting = (box.written && (options_.noVerify || box.restartSeconds < 0)) ||
                    (box.writeStarted && !box.written);
  const Clock::duration restartWait = options_.restartWait;
  Clock::time_point answered = handled;
  bool missed = false;  // a test went unanswered since the last answer
  while (!tally_.Over()) {
    Clock::time_point next = Clock::now() + ConnectionProbe::kEvery;
    const ConnectionProbe::Answer answer = probe.Ask(next);
    const Clock::time_point now = Clock::now();
    if (answer == ConnectionProbe::Answer::kNoPort && !restarting) {
      return;  // its port went with it
    }
    if (answer != ConnectionProbe::Answer::kAnswered) {
      missed = true;
      if (now - answered > (restarting ? restartWait : limit)) {
        return;
      }
      continue;
    }
    if (restarting) {
      // The answer that ends its restart is the receiver restarting: nothing else was
      // expected of it.
      limit = silenceFor(now - handled);
      restarting = false;
    } else if (missed && held.Known()) {
      // A wiggled cable, or the next receiver put on quicker than the silence that counts
      // as gone: one read tells. A receiver whose flash the run cannot know (a write
      // stopped part-way) is taken for the same, as before: it is never written twice
      // unasked.
      probe.Release();
      ProvenFlash proven;
      switch (check_.Check(states, held, proven)) {
        case ReceiverCheck::Verdict::kOther:
          told = std::move(proven);
          return;
        case ReceiverCheck::Verdict::kNoAnswer:
          continue;
        case ReceiverCheck::Verdict::kSame:
          ShowHandled(box, states);
          next = Clock::now() + ConnectionProbe::kEvery;
          break;
      }
    }
    missed = false;
    answered = Clock::now();
    std::this_thread::sleep_until(next);
  }
}

}  // namespace cli
