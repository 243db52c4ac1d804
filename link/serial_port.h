// One serial port (any COMn the system has: COM1, COM7, COM12), opened for overlapped input
// and output on Windows and as a raw non-blocking tty on POSIX systems. Results are plain: 1
// or 0, or byte counts.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "link/input_queue.h"
#include "link/port_failure.h"

namespace comm {

class OverlappedRequest;  // Windows: one overlapped request and what it owns

class SerialPort {
 public:
  SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;
  virtual ~SerialPort();

  // Opens COM<port> at the baud rate with 8 data bits; 1 when open and configured.
  int Open(int port, int baud);
  void Close();
  // Bytes received and waiting to be read.
  int InQueueCount();
  // Bytes written, after at most 5000 ms.
  int Write(const void* data, int count);
  // Up to capacity of the bytes already waiting; never waits for bytes still to come.
  int Read(void* buffer, int capacity);
  int SetBinaryMode(bool binary);
  // Waits until at least wanted bytes are waiting (true) or until the time (false). It
  // sleeps on the line, not on a clock: it wakes as bytes arrive, and sleeps through the
  // time the line needs to carry what is still missing. Bytes it has reported once count
  // again only when some have been read since, or more have come.
  bool WaitForInput(int wanted, std::chrono::steady_clock::time_point until);

  bool IsOpen() const { return open_ != 0; }
  // Why the last Open failed (kNone after one that succeeded), or why an open port failed
  // since (Windows: a driver that never ended a cancelled transfer, after which the port is
  // closed), and the system's own words for it ("Permission denied"), for a user who needs
  // more than "open port1 error!".
  PortFailure LastFailure() const { return failure_; }
  const std::string& FailureDetail() const { return failureDetail_; }

  // Opens this device whenever this thread asks for COM<port> (a path such as /dev/ttyUSB0,
  // or \\.\COM12 on Windows); an empty device takes the mapping away. Each thread has a
  // map of its own, so that threads serving several receivers can each call theirs COM1.
  static void MapPort(int port, const std::string& device);
  // The device this thread has mapped COM<port> to; empty when it has not.
  static std::string MappedDevice(int port);

  // Where a POSIX system finds COMn: "<folder>/comN", as Wine maps its ports; without a
  // folder, /dev/ttyS<n-1>. Windows names its COM ports itself and takes no folder.
  static void SetPortMapFolder(const std::string& folder);
  // What Open opens for COM<port>: its mapped device, else the system's name for it; empty
  // for a port that cannot exist.
  static std::string DevicePath(int port);

 private:
  // Moves what the system holds into the queue, as far as it has room.
  void Drain();
  // What the system still reports waiting beyond the queue.
  int SystemCount();
  // Waits until the system has bytes that are not yet in the queue, or for at most ms.
  void WaitForArrival(std::chrono::milliseconds ms);

  static std::map<int, std::string>& PortMap();

  void Fail(PortFailure failure, std::string detail) {
    failure_ = failure;
    failureDetail_ = std::move(detail);
  }

  int open_ = 0;  // 1 only while the platform handle below is valid
  int baud_ = 0;
  // The queue as WaitForInput last found it ready: bytes that had arrived and been taken.
  std::uint64_t readyArrived_ = 0;
  std::uint64_t readyTaken_ = 0;
#ifdef _WIN32
  struct HandleCloser {
    void operator()(void* handle) const;
  };
  // A request the driver did not end even once cancelled: it is kept (the driver may still
  // write into it), and the port fails and is closed, so that nothing waits for it again.
  void Abandon(std::unique_ptr<OverlappedRequest>& request, const char* what);

  std::unique_ptr<void, HandleCloser> handle_;
  // Each owns its OVERLAPPED, event and bytes, all of which must outlive the request.
  std::unique_ptr<OverlappedRequest> read_;
  std::unique_ptr<OverlappedRequest> write_;
  std::unique_ptr<OverlappedRequest> wait_;  // WaitCommEvent's; made on the first wait
  bool waitsOnEvents_ = false;               // reads do not stay pending: wait with WaitCommEvent
#else
  int fd_ = -1;
  std::unique_ptr<class NetworkLine> network_;  // instead of fd_, for a network port
  int OpenNetwork(const std::string& name, int baud);
#endif
  InputQueue queue_;
  PortFailure failure_ = PortFailure::kNone;
  std::string failureDetail_;
};

}  // namespace comm
