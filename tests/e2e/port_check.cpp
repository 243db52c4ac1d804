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
//   state 0   the line as the port leaves it (GetCommState, GetCommProperties): prints
//             "XOFF continue: 0|1, limits within the queue: yes|no (XonLim/XoffLim/queue)"
//   dcb 0     the DCB the port hands SetCommState for lines that drivers left in various
//             ways: prints each case that does not hold, then "dcb: N cases"
//   stuck MS  a request whose driver never ends it, not even once cancelled (a wait that its
//             end never reaches): prints "gave up: the request did not end" once the wait
//             gave up, or "still waiting after MS ms"
// COM1 is the port; the exit code is 0 when it opens.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "link/line_settings_win32.h"
#include "link/overlapped_request_win32.h"
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

// The flow control limits and XOFF mode the port asks of a driver, for what drivers leave:
// the mode off, and limits within the driver's input queue, the driver's own where they fit.
int CheckDcb() {
  const struct {
    WORD xonLim, xoffLim;  // as the driver left them
    DWORD queue;           // its input queue, 0 when it does not say
    WORD wantXon, wantXoff;
  } cases[] = {
      {2048, 512, 1024, 512, 128},  // a small queue: limits of its own size
      {10, 10, 4096, 10, 10},       // the driver's own fit: kept
      {0, 0, 4096, 0, 0},           // likewise
      {4096, 1024, 4096, 4096, 1024},
      {4097, 1024, 4096, 2048, 512},  // one over
      {8192, 2048, 0, 8192, 2048},    // the driver does not say: its own
      {65535, 65535, 200000, 65535, 65535},
      {65535, 100, 60000, 30000, 7500},
  };
  int failed = 0;
  for (const auto& c : cases) {
    DCB dcb{};
    dcb.XonLim = c.xonLim;
    dcb.XoffLim = c.xoffLim;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fInX = TRUE;
    comm::SetWholeLine(dcb, 115200, c.queue);
    if (dcb.fTXContinueOnXoff || dcb.fInX || dcb.XonLim != c.wantXon || dcb.XoffLim != c.wantXoff) {
      std::printf("left %u/%u, queue %lu: XOFF continue %u, limits %u/%u\n", c.xonLim, c.xoffLim,
                  static_cast<unsigned long>(c.queue), static_cast<unsigned>(dcb.fTXContinueOnXoff),
                  dcb.XonLim, dcb.XoffLim);
      ++failed;
    }
  }
  std::printf("dcb: %zu cases\n", sizeof(cases) / sizeof(cases[0]));
  return failed == 0 ? 0 : 1;
}

// A request its driver never ends: the event stays unsignalled whatever the port does to it.
int CheckStuck(DWORD limitMs) {
  HANDLE line = CreateFileW(L"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (line == INVALID_HANDLE_VALUE) {
    std::printf("cannot open COM1\n");
    return 1;
  }
  static std::unique_ptr<comm::OverlappedRequest> request = comm::OverlappedRequest::Make();
  request->Start()->Internal = STATUS_PENDING;  // under way, as the driver left it
  static HANDLE port = line;
  static comm::RequestEnd end;
  HANDLE worker = CreateThread(
      nullptr, 0,
      [](void*) -> DWORD {
        end = comm::FinishRequest(port, *request, 300, 1000, [](HANDLE) { return TRUE; });
        return 0;
      },
      nullptr, 0, nullptr);
  const bool returned = worker != nullptr && WaitForSingleObject(worker, limitMs) == WAIT_OBJECT_0;
  if (!returned) {
    std::printf("still waiting after %lu ms\n", static_cast<unsigned long>(limitMs));
    std::fflush(stdout);
    ExitProcess(1);  // the waiting thread cannot be ended otherwise
  }
  CloseHandle(worker);
  CloseHandle(line);
  std::printf(end.ended       ? "the request ended\n"
              : end.cancelled ? "gave up: the request did not end\n"
                              : "gave up without cancelling\n");
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    std::printf("usage: vl-port-check wait|write|chars|state|dcb|stuck N\n");
    return 2;
  }
  const std::string command = argv[1];
  const int count = std::atoi(argv[2]);
  if (command == "dcb") {
    return CheckDcb();
  }
  if (command == "stuck") {
    return CheckStuck(static_cast<DWORD>(count));
  }
  if (command == "state") {
    comm::SerialPort port;
    const int opened = port.Open(1, 115200);
    port.Close();
    HANDLE line = CreateFileW(L"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    COMMPROP properties{};
    properties.wPacketLength = sizeof(properties);
    const bool read = line != INVALID_HANDLE_VALUE && GetCommState(line, &dcb) &&
                      GetCommProperties(line, &properties);
    if (line != INVALID_HANDLE_VALUE) {
      CloseHandle(line);
    }
    if (!opened || !read) {
      std::printf("cannot open COM1\n");
      return 1;
    }
    const DWORD queue = properties.dwCurrentRxQueue;
    const bool within = queue == 0 || (dcb.XonLim <= queue && dcb.XoffLim <= queue);
    std::printf("XOFF continue: %u, limits within the queue: %s (%u/%u/%lu)\n",
                static_cast<unsigned>(dcb.fTXContinueOnXoff), within ? "yes" : "no", dcb.XonLim,
                dcb.XoffLim, static_cast<unsigned long>(queue));
    return 0;
  }
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
