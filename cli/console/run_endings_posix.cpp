#include <signal.h>

#include "cli/console/run_endings.h"
#include "ui/headless/console_host.h"

namespace cli {

namespace {

constexpr int kEndings[] = {SIGINT, SIGTERM, SIGHUP};

// Each request ends the program at once, as it does any other.
void EndAtOnce() {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  for (const int ending : kEndings) {
    ::sigaction(ending, &fallback, nullptr);
  }
}

extern "C" void OnEndRequested(int /*signal*/) {
  // The first request closes the running dialog as its Cancel button would; the next ends
  // the program at once.
  EndAtOnce();
  ui::ConsoleHost::RequestCancel();
}

}  // namespace

RunEndings::RunEndings() {
  struct sigaction action {};
  action.sa_handler = OnEndRequested;
  action.sa_flags = SA_RESTART;  // as a handler installed by signal() has it
  ::sigemptyset(&action.sa_mask);
  for (const int ending : kEndings) {
    ::sigaddset(&action.sa_mask, ending);  // one request is taken in before the next
  }
  for (const int ending : kEndings) {
    ::sigaction(ending, &action, nullptr);
  }
}

RunEndings::~RunEndings() {
  EndAtOnce();  // nothing is left to cancel
}

}  // namespace cli
