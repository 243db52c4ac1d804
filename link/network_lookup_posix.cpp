#include "link/network_lookup.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace comm {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

bool LookUpHost(const NetworkAddress& address, milliseconds wait, std::string& list,
                std::string& detail) {
  const auto until = steady_clock::now() + wait;
  struct Lookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::string list;
    std::string detail;
  };
  auto lookup = std::make_shared<Lookup>();
  // A name server that never answers holds getaddrinfo for its own time-outs (tens of
  // seconds): the lookup goes on a thread of its own, which the open stops waiting for.
  std::thread([lookup, host = address.host, port = std::to_string(address.port)] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_ADDRCONFIG;  // as the library asks for it
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    std::string items;
    std::string reason;
    if (error != 0) {
      reason = error == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(error);
    }
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
      char number[NI_MAXHOST] = {};
      if (::getnameinfo(entry->ai_addr, entry->ai_addrlen, number, sizeof(number), nullptr, 0,
                        NI_NUMERICHOST) != 0) {
        continue;
      }
      // A number, and a zone of letters and digits: nothing that could end a field.
      const std::string text = number;
      if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.' ||
                   c == '%' || c == '-' || c == '_';
          })) {
        continue;
      }
      std::string item = entry->ai_family == AF_INET6 ? "ipv6," : "ipv4,";
      item += text;
      item += ',';
      item += port;
      // Each address once (a name may give the same one for several socket types).
      if (("," + items + ",").find("," + item + ",") == std::string::npos) {
        items += items.empty() ? item : "," + item;
      }
    }
    if (found != nullptr) {
      ::freeaddrinfo(found);
    }
    if (items.empty() && reason.empty()) {
      reason = "no address";
    }
    const std::lock_guard<std::mutex> hold(lookup->mutex);
    lookup->list = std::move(items);
    lookup->detail = std::move(reason);
    lookup->done = true;
    lookup->finished.notify_all();
  }).detach();
  std::unique_lock<std::mutex> hold(lookup->mutex);
  if (!lookup->finished.wait_until(hold, until, [&] { return lookup->done; })) {
    detail = "no answer from the name server within " + std::to_string(wait.count() / 1000) + " s";
    return false;
  }
  list = lookup->list;
  detail = lookup->detail;
  return !list.empty();
}

}  // namespace comm
