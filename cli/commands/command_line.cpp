#include "cli/commands/command_line.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string_view>

#include "cli/console/key_names.h"
#include "cli/serve/bench_server.h"
#include "cli/serve/serve_address.h"
#include "link/network_address.h"

namespace cli {

const char kUsageLine[] =
    "usage: vesker-link [-p PORT[,PORT...]]... [-b BAUD] [--tick] [--json] [-q] [--log FILE]\n"
    "                   COMMAND [ARGS...]";

const char kHelpText[] =
    "Drives a receiver on a serial line: connection test, software read, upgrade, verify\n"
    "and remote keys, with the same exchanges and messages as Vesker Link. The line has no\n"
    "checksum, so what is moved is proven: a read by a second pass (a third decides), an\n"
    "upgrade by reading the receiver back after its restart.\n"
    "\n"
    "Commands:\n"
    "  connect              connection test; prints \"connect ok!\" or why not\n"
    "  probe [PORT...]      connection test on every serial port found (or the ports\n"
    "                       given); --list only lists the ports found, touching none\n"
    "  info FILE            checks a ROM image file as an upgrade would and describes it\n"
    "  read FILE            copies the receiver's flash into FILE: two reads that agree,\n"
    "                       else a third decides each block; a block no two reads agree on\n"
    "                       fails the read, and FILE is left as it was\n"
    "  upgrade FILE         reads a proven backup of the flash into FILE's folder\n"
    "                       (backup-<kind>-<time>.bin), writes FILE into the receiver, waits\n"
    "                       for it to restart and reads it back; a receiver that already\n"
    "                       holds FILE's software is left alone\n"
    "  verify FILE          reads the receiver and lists the blocks that differ from FILE\n"
    "                       (a difference counts when a second read repeats it)\n"
    "  key NAME...          sends remote keys by caption or name (MENU, CH_UP, 7, ...)\n"
    "  watch upgrade FILE   a production bench: on every port, each receiver that answers\n"
    "                       the connection test is upgraded as upgrade does (one log line\n"
    "                       each); the port then waits until it has gone (silent for longer\n"
    "                       than its restart took, at least 3 s, or its port gone) and for\n"
    "                       the next, until Ctrl-C or --count; a table of every receiver\n"
    "                       handled ends it\n"
    "  watch read FOLDER    the same, each receiver read into a file of its own in FOLDER\n"
    "                       (<kind>-<port>-<time>.bin, never over another file)\n"
    "  bridge LINK          (Linux) makes a pty that leads to the network port given with\n"
    "                       -p, holding its line at the baud, 8N1, and links LINK to it, so\n"
    "                       that a program that opens serial devices (Vesker Link under\n"
    "                       Wine) reaches the receiver; runs until stopped\n"
    "\n"
    "Options:\n"
    "  -p, --port PORT      a device (/dev/ttyUSB0, /dev/serial/by-id/...), COMn, 1 to 4,\n"
    "                       or a serial device server's port: rfc2217://HOST:PORT (the line\n"
    "                       set by RFC 2217) or socket://HOST:PORT (raw TCP; IPv6 as\n"
    "                       [::1]); default: the port kept in Pelto.cfg in the current folder,\n"
    "                       else COM1. Several (-p A -p B, or -p A,B): the command runs on\n"
    "                       each side by side; a read writes FILE-<port>.bin for each, an\n"
    "                       upgrade writes FILE into each, and a summary ends the run (with\n"
    "                       the command that retries the ports that failed)\n"
    "  -b, --baud BAUD      line speed (default 115200, the receiver's): any the system's\n"
    "                       serial driver takes (Linux: 50 to 4000000, 460800, 921600...)\n"
    "  --tick               take each answer on the next 50 ms tick, as Vesker Link does,\n"
    "                       instead of as soon as it is complete; time-outs are the same\n"
    "  --fast               take each answer as soon as it is complete (the default)\n"
    "  --once               read, the backup and verify: one read, trusted as it came\n"
    "  --known DIR          read, upgrade, watch: the ROM images in DIR (*.bin) are known:\n"
    "                       one read that equals one of them exactly is proven by itself,\n"
    "                       and a backup that equals one is not kept again (repeatable;\n"
    "                       upgrade knows the backups beside FILE, watch read FOLDER's)\n"
    "  --no-backup          upgrade without reading a backup first (and so always write)\n"
    "  --force              upgrade even a receiver that already holds FILE's software\n"
    "  --no-verify          upgrade without reading the receiver back\n"
    "  --restart-wait S     upgrade: wait up to S seconds (default 120) for the receiver to\n"
    "                       answer again after it saves the software and restarts\n"
    "  --log FILE           append one JSON line per port and run to FILE (many ports and\n"
    "                       processes may share it); watch: one per receiver\n"
    "  --count N            watch: end once N receivers have been handled, on all ports\n"
    "  --serve [ADDR:]PORT  watch: serve the bench over HTTP while it runs: a live page\n"
    "                       (/), its events (/events) and Prometheus metrics (/metrics);\n"
    "                       without ADDR only this machine may look (127.0.0.1)\n"
    "  --repeat N           key: send the keys N times (default 1)\n"
    "  --gap MS             key: wait MS milliseconds after each key (default 300)\n"
    "  --json               one JSON object per event on stdout\n"
    "  -q, --quiet          no progress\n"
    "  -h, --help           this text\n"
    "  --version            the program's version\n"
    "\n"
    "Exit codes (with several ports: 0 when every port succeeded, else the failures' code\n"
    "when they share one, else 1; watch: the same over the receivers handled; probe: 0 when\n"
    "any port answers):\n"
    "  0  success: read and proven, upgraded and verified, or already up to date\n"
    "  1  the receiver or the line failed: time-out, wrong answer, variant mismatch,\n"
    "     blocks that differ, a read no two passes agree on, no answer after the\n"
    "     restart, or interrupted\n"
    "  2  bad usage\n"
    "  3  bad ROM file\n"
    "  4  the port cannot be opened\n"
    "  5  a file (or the log) cannot be written\n";

namespace {

struct CommandShape {
  const char* name;
  std::size_t least;
  std::size_t most;
  const char* arguments;
};

constexpr CommandShape kCommands[] = {
    {"connect", 0, 0, ""},
    {"probe", 0, 64, " [PORT...]"},
    {"info", 1, 1, " FILE"},
    {"read", 1, 1, " FILE"},
    {"upgrade", 1, 1, " FILE"},
    {"verify", 1, 1, " FILE"},
    {"key", 1, 256, " NAME..."},
    {"bridge", 1, 1, " LINK"},
    {"watch", 2, 2, " upgrade FILE | read FOLDER"},
};

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& line, std::string& error) {
  std::vector<std::string> positional;
  std::vector<std::size_t> positionalAt;
  line.given = args;
  line.givenPort.assign(args.size(), false);
  bool optionsEnded = false;
  bool restartWaitGiven = false;
  bool countGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      positional.push_back(arg);
      positionalAt.push_back(i);
      continue;
    }
    // Options with a value take it as the next argument or after '='.
    std::string name = arg;
    std::string value;
    bool hasValue = false;
    if (const auto equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      hasValue = true;
    }
    auto takeValue = [&]() {
      if (hasValue) {
        return true;
      }
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    auto takeNumber = [&](int low, int high, int& target, const char* complaint) {
      if (!takeValue()) {
        return false;
      }
      if (!ParseNumber(value, low, high, target)) {
        error = complaint + value;
        return false;
      }
      return true;
    };
    if (name == "--") {
      optionsEnded = true;
    } else if (name == "-p" || name == "--port") {
      line.givenPort[i] = true;
      if (!takeValue()) {
        return false;
      }
      line.givenPort[i] = true;
      for (std::size_t start = 0; start <= value.size();) {
        const std::size_t comma = std::min(value.find(',', start), value.size());
        const std::string port = value.substr(start, comma - start);
        if (!CheckPortName(port, error)) {
          return false;
        }
        line.ports.push_back(port);
        start = comma + 1;
      }
    } else if (name == "-b" || name == "--baud") {
      // Which speeds are taken is the serial driver's to say, when the port is opened.
      if (!takeNumber(1, std::numeric_limits<int>::max(), line.baud, "bad baud rate: ")) {
        return false;
      }
    } else if (name == "--repeat") {
      if (!takeNumber(1, 100000, line.repeat, "bad repeat count: ")) {
        return false;
      }
    } else if (name == "--gap") {
      if (!takeNumber(0, 600000, line.gapMs, "bad gap: ")) {
        return false;
      }
    } else if (name == "--restart-wait") {
      restartWaitGiven = true;
      if (!takeNumber(1, 86400, line.restartWaitSeconds, "bad restart wait (1 to 86400 s): ")) {
        return false;
      }
    } else if (name == "--count") {
      countGiven = true;
      if (!takeNumber(1, 1000000, line.count, "bad count: ")) {
        return false;
      }
    } else if (name == "--serve") {
      if (!takeValue()) {
        return false;
      }
      serve::ServeAddress address;
      if (!serve::ParseServeAddress(value, address, error)) {
        return false;
      }
      if (!serve::BenchServer::Available()) {
        error = "--serve: this build of vesker-link serves no bench page (the Linux one does)";
        return false;
      }
      line.serveHost = address.host;
      line.servePort = address.port;
    } else if (name == "--known") {
      if (!takeValue()) {
        return false;
      }
      if (value.empty()) {
        error = "--known needs a folder";
        return false;
      }
      line.knownFolders.push_back(value);
    } else if (name == "--log") {
      if (!takeValue()) {
        return false;
      }
      if (value.empty()) {
        error = "--log needs a file name";
        return false;
      }
      line.logPath = value;
    } else if (hasValue) {
      error = "option " + name + " takes no value";
      return false;
    } else if (name == "--json") {
      line.json = true;
    } else if (name == "-q" || name == "--quiet") {
      line.quiet = true;
    } else if (name == "--fast") {
      line.fast = true;
    } else if (name == "--tick") {
      line.fast = false;
    } else if (name == "--list") {
      line.listOnly = true;
    } else if (name == "--no-backup") {
      line.noBackup = true;
    } else if (name == "--once") {
      line.once = true;
    } else if (name == "--no-verify") {
      line.noVerify = true;
    } else if (name == "--force") {
      line.force = true;
    } else if (name == "-h" || name == "--help") {
      line.help = true;
    } else if (name == "--version") {
      line.version = true;
    } else {
      error = "unknown option " + name;
      return false;
    }
  }
  if (line.help || line.version) {
    return true;
  }
  if (positional.empty()) {
    error = "no command";
    return false;
  }
  line.command = positional.front();
  line.arguments.assign(positional.begin() + 1, positional.end());
  if (positional.size() > 1) {
    line.givenFile = static_cast<int>(positionalAt[1]);
  }
  for (const CommandShape& shape : kCommands) {
    if (line.command != shape.name) {
      continue;
    }
    if (line.arguments.size() < shape.least || line.arguments.size() > shape.most) {
      error = std::string("usage: vesker-link ") + shape.name + shape.arguments;
      return false;
    }
    if (line.command == "key") {
      for (const std::string& name : line.arguments) {
        if (!KeyButtonForName(name)) {
          error = "unknown key " + name + "; keys:";
          for (const KeyName& key : kKeyNames) {
            error += ' ';
            error += key.name;
          }
          return false;
        }
      }
    }
    const bool watch = line.command == "watch";
    if (watch && line.arguments[0] != "upgrade" && line.arguments[0] != "read") {
      error = std::string("usage: vesker-link watch") + shape.arguments;
      return false;
    }
    // What a watch does to each receiver is that command's, options and all.
    const std::string& action = watch ? line.arguments[0] : line.command;
    if (countGiven && !watch) {
      error = "--count goes with watch";
      return false;
    }
    if (line.servePort >= 0 && !watch) {
      error = "--serve goes with watch";
      return false;
    }
    if (line.command == "bridge" &&
        (line.ports.size() != 1 || !comm::IsNetworkPortName(line.ports.front()))) {
      error = "bridge takes one network port: -p rfc2217://HOST:PORT or socket://HOST:PORT";
      return false;
    }
    if (line.listOnly && line.command != "probe") {
      error = "--list goes with probe";
      return false;
    }
    const bool reads = action == "read" || action == "upgrade" || action == "verify";
    if (line.once && !reads) {
      error = "--once goes with read, upgrade and verify";
      return false;
    }
    if (!line.knownFolders.empty() && action != "read" && action != "upgrade") {
      error = "--known goes with read, upgrade and watch";
      return false;
    }
    if ((line.noVerify || line.force || restartWaitGiven) && action != "upgrade") {
      error = "--no-verify, --force and --restart-wait go with upgrade";
      return false;
    }
    if (line.command == "probe") {
      for (const std::string& port : line.arguments) {
        if (!CheckPortName(port, error)) {
          return false;
        }
      }
    }
    return true;
  }
  error = "unknown command " + line.command;
  return false;
}

std::vector<std::string> RetryArguments(const CommandLine& line,
                                        const std::vector<std::string>& ports) {
  std::vector<std::string> retry;
  for (const std::string& port : ports) {
    retry.push_back("-p");
    retry.push_back(port);
  }
  for (std::size_t i = 0; i < line.given.size(); ++i) {
    if (i < line.givenPort.size() && line.givenPort[i]) {
      continue;
    }
    // One port alone reads into the file the name without its port would give.
    if (static_cast<int>(i) == line.givenFile && line.command == "read" && ports.size() == 1 &&
        line.ports.size() > 1) {
      retry.push_back(FileForPort(line.given[i], PortLabel(ports.front())));
      continue;
    }
    retry.push_back(line.given[i]);
  }
  return retry;
}

}  // namespace cli
