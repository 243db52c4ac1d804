#include <fcntl.h>
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "cli/bridge/line_bridge.h"
#include "cli/console/visible_text.h"
#include "cli/ports/failure_report.h"
#include "link/network_address.h"
#include "link/network_line.h"
#include "link/tty_speed.h"

namespace cli {

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void OnStop(int /*signal*/) {
  stopRequested = true;
}

// The program that started the bridge (the launcher); when it is gone, so is the bridge's
// reason to hold the device server's one client slot.
pid_t parent = 0;

bool Stopping() {
  return stopRequested || ::getppid() != parent;
}

// A parent killed by a signal it cannot catch never stops its bridge: the kernel tells the
// bridge instead, and it ends as if asked to.
void EndWithParent() {
  parent = ::getppid();
#ifdef __linux__
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
}

constexpr std::chrono::milliseconds kRetry(2000);
// ser2net takes a connection to a line another client holds, says so and closes it at once;
// a connection the server keeps this long is a line.
constexpr std::chrono::milliseconds kHeld(500);

// One line for the user, from its parts. A server's words are its own choice: what they hold
// is shown on the terminal, never done there.
void Say(std::initializer_list<std::string_view> parts) {
  std::string text = "vesker-link: bridge: ";
  for (const std::string_view part : parts) {
    text += part;
  }
  std::fprintf(stderr, "%s\n", VisibleText(text).c_str());
}

// The pty: its master side stays with the bridge; so does one descriptor of its other side,
// so that the master reads no hang-up while the program has the device closed.
struct Pty {
  int master = -1;
  int held = -1;
  std::string device;

  ~Pty() {
    if (held >= 0) {
      ::close(held);
    }
    if (master >= 0) {
      ::close(master);
    }
  }

  bool Make(speed_t speed) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128] = {};
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof(name)) != 0) {
      return false;
    }
    device = name;
    held = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios raw{};
    if (held < 0 || ::tcgetattr(held, &raw) != 0) {
      return false;
    }
    // Raw until the program sets its own: no echo or translation of what is on its way.
    ::cfmakeraw(&raw);
    ::cfsetispeed(&raw, speed);
    ::cfsetospeed(&raw, speed);
    return ::tcsetattr(held, TCSANOW, &raw) == 0;
  }

  // Takes in and drops what the program sends while no server is there, until then, however
  // much it sends meanwhile; sooner only when the bridge is to end.
  void Discard(std::chrono::steady_clock::time_point until) const {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      if (left.count() <= 0 || Stopping()) {
        return;
      }
      // Awake at least twice a second, to see whether the bridge is to end.
      pollfd wait{master, POLLIN, 0};
      if (::poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), 500))) > 0) {
        char sink[4096];
        while (::read(master, sink, sizeof(sink)) > 0) {
        }
      }
    }
  }
};

// link names the pty from now on: a link already there is replaced, anything else is not.
bool PlaceLink(const std::string& link, const std::string& device, std::string& error) {
  struct stat existing {};
  if (::lstat(link.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    error = link + " exists and is not a link";
    return false;
  }
  const std::string fresh = link + ".new";
  ::unlink(fresh.c_str());
  if (::symlink(device.c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), link.c_str()) != 0) {
    error = "cannot make " + link + ": " + std::strerror(errno);
    ::unlink(fresh.c_str());
    return false;
  }
  return true;
}

// The link goes with the bridge, unless something else has taken its place meanwhile.
void RemoveLink(const std::string& link, const std::string& device) {
  char target[256] = {};
  const ssize_t length = ::readlink(link.c_str(), target, sizeof(target) - 1);
  if (length > 0 && device == std::string(target, static_cast<std::size_t>(length))) {
    ::unlink(link.c_str());
  }
}

// Why the server cannot be reached, in the words the command line gives for any port.
std::string Reason(comm::PortFailure failure, const std::string& detail, const std::string& url) {
  comm::Outcome outcome;
  outcome.portFailure = failure;
  outcome.portFailureDetail = detail;
  return OpenFailureText(outcome, url);
}

}  // namespace

int RunBridge(const std::string& url, const std::string& link, int baud) {
  comm::NetworkAddress address;
  std::string error;
  if (!comm::ParseNetworkAddress(url, address, error)) {
    Say({error});
    return kExitUsage;
  }
  // The program sets its own speed when it opens the device; until then the pty shows the
  // server's, as -b gives it.
  const speed_t speed = comm::TtySpeed(baud);
  if (speed == B0) {
    Say({"cannot make a pty at ", std::to_string(baud), " baud: not a speed a tty takes"});
    return kExitPort;
  }
  Pty pty;
  if (!pty.Make(speed)) {
    Say({"cannot make a pty: ", std::strerror(errno)});
    return kExitPort;
  }
  struct sigaction stop {};
  stop.sa_handler = OnStop;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    ::sigaction(signal, &stop, nullptr);
  }
  std::signal(SIGPIPE, SIG_IGN);
  EndWithParent();

  // The first connection decides whether there is a server at all: a wrong address fails
  // now, where the user sees it. Later losses are waited out.
  bool linked = false;
  // Each reason once while the server stays away, however long that is and however its
  // reasons take turns.
  std::vector<std::string> told;
  // Tries start 2 s apart at the least, however soon the last one failed or lost its line.
  std::chrono::steady_clock::time_point nextTry;
  for (;;) {
    pty.Discard(nextTry);
    if (Stopping()) {
      break;
    }
    nextTry = std::chrono::steady_clock::now() + kRetry;
    comm::NetworkLine network;
    comm::PortFailure failure = comm::PortFailure::kNone;
    std::string detail;
    if (!network.Open(address, baud, failure, detail, kHeld)) {
      const std::string reason = Reason(failure, detail, url);
      if (!linked) {
        Say({"cannot open ", url, ": ", reason});
        return kExitPort;
      }
      if (std::find(told.begin(), told.end(), reason) == told.end()) {
        Say({"cannot reach ", url, " (", reason, "); trying again"});
        told.push_back(reason);
      }
      continue;
    }
    told.clear();
    if (!linked) {
      if (!PlaceLink(link, pty.device, error)) {
        Say({error});
        return kExitFileWrite;
      }
      linked = true;
      Say({link, " leads to ", url});
    } else {
      Say({"connected to ", url, " again"});
    }
    network.Relay(pty.master, [] { return Stopping(); });
    if (!Stopping()) {
      Say({"lost ", url, "; reconnecting"});
    }
  }
  RemoveLink(link, pty.device);
  return kExitOk;
}

}  // namespace cli
