// receiver-sim: a simulated receiver on a pseudo-terminal, for running, demonstrating and
// testing the program without hardware.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/pty_runner.h"
#include "sim/receiver_model.h"

namespace {

std::atomic<bool> stopRequested{false};

void RequestStop(int) {
  stopRequested = true;
}

const char kUsage[] =
    "usage: receiver-sim [options]\n"
    "  --link PATH        point this symbolic link at the pty (e.g. a Wine port link)\n"
    "  --log FILE         append each received frame as \"<ms> <hex> <name>\"\n"
    "  --baud N           pace output as a line at N baud, 8N1 (default 115200)\n"
    "  --unpaced          send at once\n"
    "  --silent           never answer\n"
    "  --ack HEX          answer these 12 bytes instead of the acknowledgement\n"
    "  --late MS          answer MS milliseconds late\n"
    "  --extra HEX        send these bytes after each answer\n"
    "  --pieces N         split each answer into N pieces\n"
    "  --piece-gap MS     ... sent MS milliseconds apart\n"
    "Runs until interrupted (SIGINT or SIGTERM). Prints the pty's path on its first line.\n";

int Usage(const char* why) {
  std::fprintf(stderr, "receiver-sim: %s\n%s", why, kUsage);
  return 2;
}

bool Number(const char* text, unsigned& value) {
  char* end = nullptr;
  const unsigned long number = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || number > 100000000UL) {
    return false;
  }
  value = static_cast<unsigned>(number);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  sim::ReceiverOptions options;
  unsigned baud = 115200;
  std::string linkPath, logPath;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto needs = [&]() {
      if (value == nullptr) {
        return false;
      }
      ++i;
      return true;
    };
    sim::Bytes bytes;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--unpaced") {
      baud = 0;
    } else if (arg == "--silent") {
      options.silent = true;
    } else if (arg == "--link" && needs()) {
      linkPath = value;
    } else if (arg == "--log" && needs()) {
      logPath = value;
    } else if (arg == "--baud" && needs()) {
      if (!Number(value, baud) || baud == 0) return Usage("bad --baud");
    } else if (arg == "--late" && needs()) {
      if (!Number(value, options.replyDelayMs)) return Usage("bad --late");
    } else if (arg == "--pieces" && needs()) {
      if (!Number(value, options.replyPieces) || options.replyPieces == 0) {
        return Usage("bad --pieces");
      }
    } else if (arg == "--piece-gap" && needs()) {
      if (!Number(value, options.pieceGapMs)) return Usage("bad --piece-gap");
    } else if (arg == "--ack" && needs()) {
      if (!sim::ParseHex(value, bytes) || bytes.size() != comm::kFrameSize) {
        return Usage("--ack takes 12 bytes in hex");
      }
      comm::Frame frame{};
      std::copy(bytes.begin(), bytes.end(), frame.begin());
      options.ackReply = frame;
    } else if (arg == "--extra" && needs()) {
      if (!sim::ParseHex(value, bytes)) return Usage("--extra takes bytes in hex");
      options.extraAfterReply = bytes;
    } else {
      return Usage(("unknown or incomplete option " + arg).c_str());
    }
  }

  sim::ReceiverModel model(options);
  sim::PtyRunner runner(model, baud);
  std::string error;
  if (!runner.Open(error) || (!linkPath.empty() && !runner.LinkAs(linkPath, error))) {
    std::fprintf(stderr, "receiver-sim: %s\n", error.c_str());
    return 1;
  }
  std::FILE* log = nullptr;
  if (!logPath.empty()) {
    log = std::fopen(logPath.c_str(), "a");
    if (log == nullptr) {
      std::fprintf(stderr, "receiver-sim: cannot write %s\n", logPath.c_str());
      return 1;
    }
    runner.LogTo(log);
  }
  std::printf("%s\n", runner.DevicePath().c_str());
  std::fflush(stdout);

  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  runner.Run(stopRequested);
  if (log != nullptr) {
    std::fclose(log);
  }
  return 0;
}
