#include "link/network_refusal.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>

namespace comm {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string ServerWords(const std::string& addresses) {
  const std::size_t host = addresses.find(',') + 1;
  const std::size_t port = addresses.find(',', host) + 1;
  if (host == 0 || port == 0) {
    return std::string();
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(addresses.substr(host, port - 1 - host).c_str(),
                    addresses.substr(port, addresses.find(',', port) - port).c_str(), &hints,
                    &found) != 0) {
    return std::string();
  }
  std::string words;
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    const auto until = steady_clock::now() + milliseconds(1000);
    const bool started =
        ::connect(fd, found->ai_addr, found->ai_addrlen) == 0 || errno == EINPROGRESS;
    while (started && words.size() < 200) {
      const auto left = std::chrono::duration_cast<milliseconds>(until - steady_clock::now());
      pollfd wait{fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
        break;
      }
      char buffer[256];
      const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
      if (got <= 0) {
        break;
      }
      words.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
  }
  ::freeaddrinfo(found);
  // Without the server's Telnet negotiation: IAC with a command and its option, or a whole
  // subnegotiation up to IAC SE.
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const auto byte = static_cast<unsigned char>(words[i]);
    if (byte != 0xFF || i + 1 >= words.size()) {
      text += words[i];
      continue;
    }
    const auto command = static_cast<unsigned char>(words[++i]);
    if (command == 0xFA) {
      while (i + 1 < words.size() && !(static_cast<unsigned char>(words[i]) == 0xFF &&
                                       static_cast<unsigned char>(words[i + 1]) == 0xF0)) {
        ++i;
      }
      ++i;
    } else if (command >= 0xFB) {
      i += command == 0xFF ? 0 : 1;
      if (command == 0xFF) {
        text += words[i];
      }
    }
  }
  return text;
}

PortFailure RefusalOf(const std::string& said, std::string& detail) {
  constexpr char kServerClosed[] = "the server closed the connection";
  // Only what the server said tells a line another client holds from any other refusal.
  std::string words;
  for (const char c : said) {
    if (c >= 0x20 && c < 0x7F) {
      words += c;
    } else if (!words.empty() && words.back() != ' ') {
      words += ' ';
    }
  }
  while (!words.empty() && words.back() == ' ') {
    words.pop_back();
  }
  std::string lower = words;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const bool held =
      lower.find("in use") != std::string::npos || lower.find("busy") != std::string::npos;
  detail = words.empty() ? kServerClosed : std::string(kServerClosed) + ": \"" + words + "\"";
  return held ? PortFailure::kBusy : PortFailure::kOther;
}

}  // namespace comm
