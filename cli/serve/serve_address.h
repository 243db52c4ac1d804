// Where the bench page listens, as --serve names it: [ADDR:]PORT. Without an address only
// this machine may look (the loopback address); a bench network is named on purpose.
#pragma once

#include <string>

namespace serve {

struct ServeAddress {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port, which the system picks
};

// "8080", "0.0.0.0:8080", "bench-pc:8080", "[::1]:8080"; false with the reason for anything
// else.
bool ParseServeAddress(const std::string& text, ServeAddress& address, std::string& error);

// The page's address as a browser takes it: "http://127.0.0.1:8080/", "http://[::1]:8080/".
std::string PageUrl(const std::string& host, int port);

}  // namespace serve
