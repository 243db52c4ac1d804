// receiver-sim: a simulated receiver on a pseudo-terminal, for running, demonstrating and
// testing the program without hardware.
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "sim/pty_runner.h"
#include "sim/receiver_model.h"
#include "vl_version.h"

namespace {

std::atomic<bool> stopRequested{false};

void RequestStop(int) {
  stopRequested = true;
}

// The bench's signals only post a change; the runner makes it.
sim::PtyRunner* bench = nullptr;

void RequestBoxChange(int signal) {
  bench->PostBoxChange(signal == SIGUSR1 ? sim::BoxChange::kOff : sim::BoxChange::kNext);
}

const char kUsage[] =
    "usage: receiver-sim [options]\n"
    "  --link PATH        point this symbolic link at the pty (e.g. a Wine port link)\n"
    "  --log FILE         append each received frame as \"<ms> <hex> <name>\", each box\n"
    "                     change as \"<ms> - BOX_OFF <n>\" or \"<ms> - BOX_ON <n>\"\n"
    "  --timeline FILE    write when answers leave and the program's sending starts\n"
    "  --baud N           pace output as a line at N baud, 8N1 (default 115200)\n"
    "  --unpaced          send at once\n"
    "  --paced-blocks N   keep the pace only for the first N blocks of each read or\n"
    "                     upgrade; the rest crosses at once\n"
    "  --line STATE       the program's end of the line when the receiver comes up:\n"
    "                     raw (8N1, 115200; the default), new (as the kernel sets up a\n"
    "                     newly plugged adapter: XON/XOFF, CR translation, echo, line\n"
    "                     editing, 38400), left (as another program left it: parity, two\n"
    "                     stop bits, RTS/CTS and XON/XOFF, ISTRIP, 7 bits, 9600; a pty\n"
    "                     keeps all but the parity and the 7 bits). While the program's\n"
    "                     end frames bytes otherwise than 8N1 at the line's speed, each\n"
    "                     side reads the other's bytes wrong; while it waits for CTS, it\n"
    "                     sends nothing (a three-wire cable)\n"
    "  --packet N[,N...]  deliver like a USB serial adapter: in packets of N bytes (sizes\n"
    "                     taken in turn, e.g. 62, or 1,7,61,13 for odd pieces) ...\n"
    "  --latency MS       ... a packet that is not full after MS milliseconds (default 16)\n"
    "  --silent           never answer\n"
    "  --variant V        the kind of receiver, 0 to 15 (default 0)\n"
    "  --flash FILE       its flash, from this file (default: made from --seed)\n"
    "  --seed N           makes a flash in which every block differs (default 1)\n"
    "  --control-bytes    ... and every third byte one a tty treats specially (0x11 0x13\n"
    "                     0x0D 0x0A 0x03 0x04 0x1A 0x7F 0xFF)\n"
    "  --write-flash FILE writes the flash it holds to FILE on exit; with --box, box n's\n"
    "                     to FILE.n, also as the box leaves the cable\n"
    "  --reply HEX        answer these 12 bytes instead of its frame (--ack: the same)\n"
    "  --cut-block K:N    send block K short by N bytes\n"
    "  --pause-before K:MS  send block K MS milliseconds late\n"
    "  --ignore-echoes    send every block of a read at once\n"
    "  --go-ahead-ack     answer an upgrade request with a go-on reply, not the report\n"
    "  --reply-choice N   answer upgrade blocks with go-on reply N (0-2; default: in turn)\n"
    "  --other-set        answer upgrade blocks with the other product lines' replies\n"
    "  --silent-after K   no answer to upgrade block K or any later one\n"
    "  --report-at K      answer upgrade block K with the variant report frame\n"
    "  --glue             send every answer twice in one go\n"
    "  --answer-done      answer CMD_READ_DONE with the acknowledgement frame\n"
    "  --answer-keys      answer every key frame with the acknowledgement frame\n"
    "  --hang-up-after [read:|upgrade:]K\n"
    "                     close the line after read block K is sent or upgrade block K\n"
    "                     taken (read: or upgrade: only that one); reads:N once N reads\n"
    "                     have ended (CMD_READ_DONE)\n"
    "  --return-after MS  after a hang-up, come back on a new pty (and link) MS later\n"
    "  --restart MS|never\n"
    "                     after the CMD_STOP that ends a complete upgrade, restart: take in\n"
    "                     and answer nothing for MS milliseconds (never: for good), then\n"
    "                     answer with the flash just written (default 0: at once)\n"
    "  --bit-errors RATE  every bit that crosses the line, either way, flips with this\n"
    "                     probability (e.g. 1e-6) ...\n"
    "  --noise-seed N     ... drawn from a generator seeded with N (default 1)\n"
    "  --flip DIR:K:OFFSET[:SENDINGS]\n"
    "                     flip bit 0 of byte OFFSET (0-4095) of block K: DIR read, as the\n"
    "                     read block leaves the receiver; upgrade, as the upgrade block\n"
    "                     arrives. SENDINGS: which sendings of the block, counted from 1\n"
    "                     over the simulator's life: 1 (the default), 2, 1-3, 1,3. Repeatable\n"
    "  --drop DIR:K:OFFSET[:SENDINGS]\n"
    "                     ... that byte is lost (the bytes after it move up)\n"
    "  --double DIR:K:OFFSET[:SENDINGS]\n"
    "                     ... that byte arrives twice\n"
    "  --late MS          answer MS milliseconds late\n"
    "  --extra HEX        send these bytes after each answer\n"
    "  --pieces N         split each answer into N pieces\n"
    "  --piece-gap MS     ... sent MS milliseconds apart\n"
    "  --box V:SEED       a box of the bench: variant V, its flash made from SEED (or read\n"
    "                     from a file: V:FILE); repeat\n"
    "                     for each box, in the order they go on the cable (the first is on\n"
    "                     at start). Default: the one box of --variant, --seed, --flash\n"
    "  --schedule MS[,MS...]\n"
    "                     change boxes on a schedule, each MS after the one before (the\n"
    "                     first from start): off, next, off, next, ...\n"
    "  --usb              the USB adapter goes with the box: while the cable is empty, the\n"
    "                     pty is closed and the link removed; the next box comes on a new\n"
    "                     pty, the link pointed at it\n"
    "  --usb-restarts     --usb, with the adapter powered by its box: it also goes while\n"
    "                     the box restarts after an upgrade and comes back with it\n"
    "  --version          print the version and exit\n"
    "Runs until interrupted (SIGINT or SIGTERM). Prints the pty's path on its first line.\n"
    "SIGUSR1 takes the box on the cable off (it goes silent, its flash kept); SIGUSR2 puts\n"
    "the next box on, fresh (the one on the cable taken off first); after the last box the\n"
    "cable stays empty.\n";

int Usage(const char* why) {
  std::fprintf(stderr, "receiver-sim: %s\n%s", why, kUsage);
  return 2;
}

bool Pair(const char* text, int& first, unsigned& second) {
  unsigned a = 0, b = 0;
  char tail = 0;
  if (std::sscanf(text, "%u:%u%c", &a, &b, &tail) != 2 || a > 100000) {
    return false;
  }
  first = static_cast<int>(a);
  second = b;
  return true;
}

bool ReadFile(const std::string& path, sim::Bytes& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
  std::uint8_t buffer[65536];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  std::fclose(file);
  return true;
}

bool WriteFile(const std::string& path, const sim::Bytes& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return false;
  }
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
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

bool Rate(const char* text, double& rate) {
  char* end = nullptr;
  rate = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(rate) && rate >= 0 && rate <= 1;
}

bool LineStateNamed(const std::string& name, sim::LineState& state) {
  if (name == "raw") {
    state = sim::LineState::kRaw;
  } else if (name == "new") {
    state = sim::LineState::kNew;
  } else if (name == "left") {
    state = sim::LineState::kLeft;
  } else {
    return false;
  }
  return true;
}

// Numbers from least to most, separated by commas.
bool NumberList(const std::string& text, unsigned least, unsigned most,
                std::vector<unsigned>& numbers) {
  numbers.clear();
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    unsigned number = 0;
    if (!Number(text.substr(start, comma - start).c_str(), number) || number < least ||
        number > most) {
      return false;
    }
    numbers.push_back(number);
    start = comma + 1;
  }
  return !numbers.empty();
}

bool PacketSizes(const std::string& text, std::vector<std::size_t>& sizes) {
  std::vector<unsigned> numbers;
  if (!NumberList(text, 1, 65536, numbers)) {
    return false;
  }
  sizes.assign(numbers.begin(), numbers.end());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  sim::ReceiverOptions options;
  sim::LineOptions line;
  unsigned baud = 115200;
  std::string linkPath, logPath, flashOut, timelinePath;
  unsigned number = 0;
  unsigned returnAfter = 0;
  unsigned restartMs = 0;
  unsigned pacedBlocks = 0;
  struct BoxSpec {
    int variant = 0;
    unsigned seed = 0;
    sim::Bytes flash;  // empty: made from the seed
  };
  std::vector<BoxSpec> boxSpecs;
  bool loneBox = false;  // --variant, --seed or --flash given
  std::vector<unsigned> schedule;
  bool usb = false;
  bool usbRestarts = false;
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
    } else if (arg == "--version") {
      std::printf("receiver-sim %s\n", VL_VERSION);
      return 0;
    } else if (arg == "--unpaced") {
      baud = 0;
    } else if (arg == "--paced-blocks" && needs()) {
      if (!Number(value, pacedBlocks) || pacedBlocks == 0) return Usage("bad --paced-blocks");
    } else if (arg == "--line" && needs()) {
      if (!LineStateNamed(value, line.state)) return Usage("--line takes raw, new or left");
    } else if (arg == "--packet" && needs()) {
      if (!PacketSizes(value, line.packetSizes)) return Usage("--packet takes sizes of 1 or more");
    } else if (arg == "--latency" && needs()) {
      if (!Number(value, line.latencyMs) || line.latencyMs > 255) {
        return Usage("--latency takes 0 to 255 ms");
      }
    } else if (arg == "--control-bytes") {
      options.controlBytes = true;
    } else if (arg == "--silent") {
      options.silent = true;
    } else if (arg == "--link" && needs()) {
      linkPath = value;
    } else if (arg == "--log" && needs()) {
      logPath = value;
    } else if (arg == "--timeline" && needs()) {
      timelinePath = value;
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
    } else if ((arg == "--reply" || arg == "--ack") && needs()) {
      if (!sim::ParseHex(value, bytes) || bytes.size() != comm::kFrameSize) {
        return Usage("--reply takes 12 bytes in hex");
      }
      comm::Frame frame{};
      std::copy(bytes.begin(), bytes.end(), frame.begin());
      options.replyOverride = frame;
    } else if (arg == "--variant" && needs()) {
      if (!Number(value, number) || number > 15) return Usage("--variant takes 0 to 15");
      options.variant = static_cast<int>(number);
      loneBox = true;
    } else if (arg == "--seed" && needs()) {
      if (!Number(value, options.seed)) return Usage("bad --seed");
      loneBox = true;
    } else if (arg == "--flash" && needs()) {
      if (!ReadFile(value, options.flash)) return Usage("cannot read --flash file");
      loneBox = true;
    } else if (arg == "--box" && needs()) {
      BoxSpec box;
      const char* colon = std::strchr(value, ':');
      if (!Pair(value, box.variant, box.seed) &&
          (colon == nullptr ||
           !Pair((std::string(value, colon) + ":0").c_str(), box.variant, box.seed) ||
           !ReadFile(colon + 1, box.flash) || box.flash.empty())) {
        return Usage("--box takes V:SEED or V:FILE, V 0 to 15");
      }
      if (box.variant > 15) {
        return Usage("--box takes V:SEED or V:FILE, V 0 to 15");
      }
      boxSpecs.push_back(std::move(box));
    } else if (arg == "--schedule" && needs()) {
      if (!NumberList(value, 0, 100000000, schedule)) {
        return Usage("--schedule takes milliseconds, separated by commas");
      }
    } else if (arg == "--usb") {
      usb = true;
    } else if (arg == "--usb-restarts") {
      usb = usbRestarts = true;
    } else if (arg == "--write-flash" && needs()) {
      flashOut = value;
    } else if (arg == "--cut-block" && needs()) {
      if (!Pair(value, options.cutBlock, options.cutBytes)) return Usage("--cut-block takes K:N");
    } else if (arg == "--pause-before" && needs()) {
      if (!Pair(value, options.pauseBeforeBlock, options.pauseMs)) {
        return Usage("--pause-before takes K:MS");
      }
    } else if (arg == "--ignore-echoes") {
      options.ignoreEchoes = true;
    } else if (arg == "--go-ahead-ack") {
      options.goAheadWithReport = false;
    } else if (arg == "--other-set") {
      options.otherSet = true;
    } else if (arg == "--hang-up-after" && needs()) {
      const std::string spec = value;
      const std::size_t colon = spec.find(':');
      const std::string in = colon == std::string::npos ? "" : spec.substr(0, colon);
      if ((in != "" && in != "read" && in != "upgrade" && in != "reads") ||
          !Number(spec.substr(colon == std::string::npos ? 0 : colon + 1).c_str(), number) ||
          (in == "reads" && number == 0)) {
        return Usage("--hang-up-after takes [read:|upgrade:]K or reads:N");
      }
      if (in == "reads") {
        options.hangUpAfterReads = number;
        continue;
      }
      options.hangUpAfterBlock = static_cast<int>(number);
      options.hangUpInRead = in != "upgrade";
      options.hangUpInUpgrade = in != "read";
    } else if (arg == "--return-after" && needs()) {
      if (!Number(value, returnAfter)) return Usage("bad --return-after");
    } else if (arg == "--restart" && needs()) {
      if (std::strcmp(value, "never") == 0) {
        restartMs = sim::PtyRunner::kNever;
      } else if (!Number(value, restartMs)) {
        return Usage("--restart takes MS or never");
      }
      options.restartAfterUpgrade = true;
    } else if (arg == "--answer-done") {
      options.answerReadDone = true;
    } else if (arg == "--answer-keys") {
      options.answerKeys = true;
    } else if (arg == "--glue") {
      options.glueReplies = true;
    } else if (arg == "--reply-choice" && needs()) {
      if (!Number(value, number) || number > 2) return Usage("--reply-choice takes 0 to 2");
      options.replyChoice = static_cast<int>(number);
    } else if (arg == "--silent-after" && needs()) {
      if (!Number(value, number)) return Usage("bad --silent-after");
      options.silentAfterBlock = static_cast<int>(number);
    } else if (arg == "--report-at" && needs()) {
      if (!Number(value, number)) return Usage("bad --report-at");
      options.reportAtBlock = static_cast<int>(number);
    } else if (arg == "--bit-errors" && needs()) {
      if (!Rate(value, line.bitErrorRate)) return Usage("--bit-errors takes a rate from 0 to 1");
    } else if (arg == "--noise-seed" && needs()) {
      if (!Number(value, number)) return Usage("bad --noise-seed");
      line.noiseSeed = number;
    } else if ((arg == "--flip" || arg == "--drop" || arg == "--double") && needs()) {
      const sim::Damage damage = arg == "--flip"   ? sim::Damage::kFlip
                                 : arg == "--drop" ? sim::Damage::kDrop
                                                   : sim::Damage::kDouble;
      sim::ByteFault fault;
      if (!sim::ParseByteFault(value, damage, fault)) {
        return Usage((arg + " takes read:K:OFFSET or upgrade:K:OFFSET, OFFSET 0 to 4095, and "
                            "the sendings as :2, :1-3 or :1,3")
                         .c_str());
      }
      options.byteFaults.push_back(fault);
    } else if (arg == "--extra" && needs()) {
      if (!sim::ParseHex(value, bytes)) return Usage("--extra takes bytes in hex");
      options.extraAfterReply = bytes;
    } else {
      return Usage(("unknown or incomplete option " + arg).c_str());
    }
  }

  if (loneBox && !boxSpecs.empty()) {
    return Usage("--box makes each box: leave out --variant, --seed and --flash");
  }

  // The boxes of the bench, each as the options make one but for its variant and flash.
  std::vector<sim::ReceiverModel> boxes;
  if (boxSpecs.empty()) {
    boxes.emplace_back(options);
  }
  for (const BoxSpec& spec : boxSpecs) {
    sim::ReceiverOptions box = options;
    box.variant = spec.variant;
    box.seed = spec.seed;
    box.flash = spec.flash;
    boxes.emplace_back(box);
  }
  std::vector<sim::ReceiverModel*> cable;
  cable.reserve(boxes.size());
  for (sim::ReceiverModel& box : boxes) {
    cable.push_back(&box);
  }
  auto flashFile = [&](std::size_t box) {
    return boxSpecs.empty() ? flashOut : flashOut + "." + std::to_string(box + 1);
  };
  bool flashWritten = true;
  auto writeFlash = [&](std::size_t box) {
    if (!flashOut.empty() && !WriteFile(flashFile(box), boxes[box].Flash())) {
      std::fprintf(stderr, "receiver-sim: cannot write %s\n", flashFile(box).c_str());
      flashWritten = false;
    }
  };

  sim::PtyRunner runner(cable, baud, line);
  runner.ReturnAfter(returnAfter);
  runner.RestartFor(restartMs);
  runner.PaceOnly(pacedBlocks);
  runner.AdapterGoesWithBox(usb);
  runner.AdapterRestartsWithBox(usbRestarts);
  runner.Schedule(schedule);
  runner.OnBoxOff(writeFlash);
  bench = &runner;
  struct sigaction change {};
  change.sa_handler = RequestBoxChange;
  sigemptyset(&change.sa_mask);
  sigaddset(&change.sa_mask, SIGUSR1);  // one change is posted before the next
  sigaddset(&change.sa_mask, SIGUSR2);
  sigaction(SIGUSR1, &change, nullptr);
  sigaction(SIGUSR2, &change, nullptr);
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
  std::FILE* timeline = nullptr;
  if (!timelinePath.empty()) {
    timeline = std::fopen(timelinePath.c_str(), "w");
    if (timeline == nullptr) {
      std::fprintf(stderr, "receiver-sim: cannot write %s\n", timelinePath.c_str());
      return 1;
    }
    runner.TimelineTo(timeline);
  }
  std::printf("%s\n", runner.DevicePath().c_str());
  std::fflush(stdout);

  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  runner.Run(stopRequested);
  if (timeline != nullptr) {
    std::fclose(timeline);
  }
  if (log != nullptr) {
    std::fclose(log);
  }
  for (std::size_t box = 0; box < boxes.size(); ++box) {
    writeFlash(box);
  }
  return flashWritten ? 0 : 1;
}
