// What the system says of the adapter behind a serial port, and how a technician reads it.
#pragma once

#include <string>

namespace comm {

// What the system knows of the device behind a serial port; empty for what it does not say.
struct PortIdentity {
  std::string bus;        // "usb" for a USB adapter, "uart" for a UART, else empty
  std::string vendorId;   // USB ids as four hex digits: "0403"
  std::string productId;  //
  std::string manufacturer;
  std::string product;
  std::string serial;
  std::string name;  // the name Windows' Device Manager shows: "USB Serial Port (COM3)"
};

// "USB 0403:6001 Maker Product, serial A5", "UART", or Windows' name for it; empty for a
// port the system says nothing of (a pty, a network port).
std::string DescribeAdapter(const PortIdentity& identity);

// COM<number> as a list of ports shows it: "COM7 — USB Serial Port, USB 0403:6001", the
// adapter as DescribeAdapter has it but without the "(COM7)" Windows ends its name with, which
// the line already begins with; "COM7" alone for a port the system says nothing of.
std::string DescribeComPort(int number, const PortIdentity& identity);

}  // namespace comm
