// What a serial device server sends is untrusted: any bytes after the COM port option has
// been agreed go through the Telnet and RFC 2217 handling of a network line. The first byte
// chooses how the rest is sent:
//   even: as flash data, every 0xFF doubled as Telnet escapes it, by a server that speaks
//         binary both ways; exactly the data must come out;
//   odd:  as they are (commands, subnegotiations, notifications, truncated sequences); the
//         line may take or drop them but must not crash, hang, or give more than came.
// Either way the line's own 0xFF bytes must reach the server doubled.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "link/network_line.h"

namespace {

constexpr std::uint8_t kIac = 0xFF;
// IAC DO COM-PORT-OPTION, then binary transmission both ways.
constexpr std::uint8_t kAgreement[] = {0xFF, 0xFD, 0x2C, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00};
constexpr std::uint8_t kSent[] = {0xFF, 0x11, 0xFF, 0xFF, 0x0D, 0x00, 0x0A, 0x13};

std::vector<std::uint8_t> Escaped(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(data[i]);
    if (data[i] == kIac) {
      out.push_back(kIac);
    }
  }
  return out;
}

bool Contains(const std::vector<std::uint8_t>& haystack, const std::vector<std::uint8_t>& needle) {
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    if (std::equal(needle.begin(), needle.end(), haystack.begin() + static_cast<long>(i))) {
      return true;
    }
  }
  return false;
}

int Listener(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::abort();
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static int port = 0;
  static const int listener = Listener(port);
  if (size == 0) {
    return 0;
  }
  const bool asData = (data[0] & 1) == 0;
  const std::uint8_t* body = data + 1;
  const std::size_t bodySize = size - 1;

  const std::vector<std::uint8_t> payload =
      asData ? Escaped(body, bodySize) : std::vector<std::uint8_t>(body, body + bodySize);
  std::vector<std::uint8_t> toServer;
  std::thread server([&] {
    const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
      return;
    }
    std::uint8_t buffer[4096];
    auto take = [&] {
      const ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
      if (n > 0) {
        toServer.insert(toServer.end(), buffer, buffer + n);
      }
      return n > 0;
    };
    // The agreement; then, once the line's own bytes are in, the rest, and the end.
    ::send(connection, kAgreement, sizeof(kAgreement), MSG_NOSIGNAL);
    timeval wait{2, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    while (!Contains(toServer, Escaped(kSent, sizeof(kSent))) && take()) {
    }
    ::send(connection, payload.data(), payload.size(), MSG_NOSIGNAL);
    ::shutdown(connection, SHUT_WR);
    while (take()) {
    }
    ::close(connection);
  });

  std::vector<std::uint8_t> received;
  {
    comm::NetworkLine line(std::chrono::milliseconds(0));
    comm::NetworkAddress address;
    address.host = "127.0.0.1";
    address.port = port;
    comm::PortFailure failure = comm::PortFailure::kNone;
    std::string detail;
    if (line.Open(address, 115200, failure, detail)) {
      line.Write(kSent, sizeof(kSent), std::chrono::milliseconds(1000));
      std::uint8_t buffer[4096];
      // The server shuts its side once all is sent, so everything has come when the line is
      // gone, however slowly a loaded machine passes it on.
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!line.Gone()) {
        if (std::chrono::steady_clock::now() > until) {
          std::abort();  // the end of the connection never reached the line
        }
        const std::size_t got = line.Read(buffer, sizeof(buffer), std::chrono::milliseconds(100));
        received.insert(received.end(), buffer, buffer + got);
        if (received.size() > bodySize) {
          std::abort();  // more came out than went in
        }
      }
    }
  }
  server.join();
  if (asData && received != std::vector<std::uint8_t>(body, body + bodySize)) {
    std::abort();  // flash data changed on its way
  }
  if (asData && !Contains(toServer, Escaped(kSent, sizeof(kSent)))) {
    std::abort();  // the line's own 0xFF went out unescaped
  }
  return 0;
}
