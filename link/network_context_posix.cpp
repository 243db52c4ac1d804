#include "link/network_context.h"

#include <gensio/gensio.h>
#include <gensio/gensio_err.h>
#include <gensio/gensio_os_funcs.h>
#include <gensio/gensio_unix.h>

#include <csignal>

namespace comm {

// gensio keeps its process-wide state (its registry of stacks, the locks of its connection
// count and of its defaults) with the OS handler that first uses it, for the life of the
// process. So that handler is made here, once, makes that first use, and is never freed;
// every line still has a handler of its own, worked by its port's thread alone.
bool NetworkLibraryReady() {
  static gensio_os_funcs* context = nullptr;
  static const bool ready = [] {
    // A write into a connection the server has reset raises SIGPIPE, which would end the
    // whole program (and every other port's exchange); the write's own error says enough.
    std::signal(SIGPIPE, SIG_IGN);
    if (gensio_unix_funcs_alloc(nullptr, 0, &context) != 0 || context == nullptr) {
      return false;
    }
    // Parsing a stack sets all of that state up; the address is a number, so nothing is
    // looked up, and nothing is opened.
    gensio* first = nullptr;
    if (str_to_gensio("tcp,ipv4,127.0.0.1,1", context, nullptr, nullptr, &first) != 0) {
      return false;
    }
    gensio_free(first);
    return true;
  }();
  return ready;
}

gensio_time LibraryTime(std::chrono::milliseconds wait) {
  gensio_time time{};
  time.secs = wait.count() / 1000;
  time.nsecs = static_cast<int>((wait.count() % 1000) * 1000000);
  return time;
}

PortFailure FailureOfLibraryError(int error) {
  switch (error) {
    case GE_CONNREFUSE:
      return PortFailure::kRefused;
    case GE_NOTFOUND:
    case GE_UNKNOWN_NAME_ERROR:
    case GE_NAME_ERROR:
    case GE_NAME_SERVER_FAILURE:
    case GE_NAME_INVALID:
    case GE_NAME_NET_NOT_UP:
      return PortFailure::kUnknownHost;
    case GE_PERM:
      return PortFailure::kNotPermitted;
    default:
      return PortFailure::kOther;
  }
}

}  // namespace comm
