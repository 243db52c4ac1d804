// One serial port (COM1 to COM4), opened for overlapped input and output on Windows and as a
// raw non-blocking tty on POSIX systems. Results are plain: 1 or 0, or byte counts.
#pragma once

#include <map>
#include <string>

#include "link/input_queue.h"

namespace comm {

class SerialPort {
 public:
  SerialPort() = default;
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

  bool IsOpen() const { return open_ != 0; }

  // Opens this device whenever COM<port> is asked for (a path such as /dev/ttyUSB0, or
  // \\.\COM12 on Windows); an empty device takes the mapping away.
  static void MapPort(int port, const std::string& device);

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

  // The device a mapped COM<port> stands for; empty when it is not mapped.
  static std::string MappedDevice(int port);
  static std::map<int, std::string>& PortMap();

  int open_ = 0;  // 1 only while the platform handle below is valid
#ifdef _WIN32
  alignas(8) unsigned char readRequest_[32] = {};   // OVERLAPPED
  alignas(8) unsigned char writeRequest_[32] = {};  // OVERLAPPED
  void* handle_ = nullptr;
  void* readEvent_ = nullptr;
  void* writeEvent_ = nullptr;
#else
  int fd_ = -1;
#endif
  InputQueue queue_;
};

}  // namespace comm
