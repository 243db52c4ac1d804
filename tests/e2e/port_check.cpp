// vl-port-check.exe: the Win32 serial port's waits on a line whose other end the scenario
// holds, run where the program never takes them on its own.
//   wait N    a short wait for N bytes on a quiet line, which runs out (the pending read, or
//             the WaitCommEvent wait, is cancelled), then a long one that the bytes end
//             early; prints "first: timeout|ready", then "second: ready early|ready
//             late|timeout" and the bytes read
//   write N   N bytes to a line that takes none: prints "wrote K of N after T ms"
//   chars N   the line left by another program with both flow control characters N (and no
//             limits), then opened and closed by the port: prints the DCB's XonChar and
//             XoffChar as they were left and as the port left them
// COM1 is the port; the exit code is 0 when it opens.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// COM1's line state through a handle of its own; left as changed when change is given.
bool LineState(DCB& dcb, void (*change)(DCB&)) {
  HANDLE line = CreateFileW(L"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (line == INVALID_HANDLE_VALUE) {
    return false;
  }
  dcb = DCB{};
  dcb.DCBlength = sizeof(DCB);
  bool ok = GetCommState(line, &dcb) != FALSE;
  if (ok && change != nullptr) {
    change(dcb);
    ok = SetCommState(line, &dcb) != FALSE;
  }
  CloseHandle(line);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::printf("usage: vl-port-check wait|write N\n");
    return 2;
  }
  const std::string command = argv[1];
  const int count = std::atoi(argv[2]);
  if (command == "chars") {
    static char left = 0;
    left = static_cast<char>(count);
    DCB before{};
    DCB after{};
    const bool dirty = LineState(before,
                                 [](DCB& d) {
                                   d.XonChar = d.XoffChar = left;
                                   d.XonLim = d.XoffLim = 0;
                                 }) &&
                       LineState(before, nullptr);
    comm::SerialPort port;
    const int opened = port.Open(1, 115200);
    port.Close();
    if (!dirty || !opened || !LineState(after, nullptr)) {
      std::printf("cannot open COM1\n");
      return 1;
    }
    std::printf(
        "left 0x%02X 0x%02X, then 0x%02X 0x%02X\n", static_cast<unsigned char>(before.XonChar),
        static_cast<unsigned char>(before.XoffChar), static_cast<unsigned char>(after.XonChar),
        static_cast<unsigned char>(after.XoffChar));
    return 0;
  }
  comm::SerialPort port;
  if (count <= 0 || !port.Open(1, 115200)) {
    std::printf("cannot open COM1\n");
    return 1;
  }
  if (command == "write") {
    const std::vector<unsigned char> bytes(static_cast<std::size_t>(count), 0x5A);
    const auto start = Clock::now();
    const int written = port.Write(bytes.data(), count);
    std::printf("wrote %d of %d after %lld ms\n", written, count, MillisecondsSince(start));
    return 0;
  }
  const bool first = port.WaitForInput(count, Clock::now() + std::chrono::milliseconds(300));
  std::printf("first: %s\n", first ? "ready" : "timeout");
  std::fflush(stdout);  // the scenario sends the bytes once it reads this
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(10);
  const bool second = port.WaitForInput(count, deadline);
  std::printf("second: %s\n", !second                                             ? "timeout"
                              : Clock::now() < deadline - std::chrono::seconds(2) ? "ready early"
                                                                                  : "ready late");
  std::string text(static_cast<std::size_t>(count), '\0');
  text.resize(static_cast<std::size_t>(std::max(port.Read(text.data(), count), 0)));
  std::printf("read: %s\n", text.c_str());
  return 0;
}
