#include "link/port_identity.h"

namespace comm {

std::string DescribeAdapter(const PortIdentity& identity) {
  std::string text = identity.name;
  if (identity.bus == "uart" && text.empty()) {
    text = "UART";
  }
  if (identity.bus == "usb") {
    std::string usb = "USB " + identity.vendorId + ":" + identity.productId;
    // Windows' name already says who made it and what it is.
    for (const std::string* part : {&identity.manufacturer, &identity.product}) {
      if (!part->empty() && text.empty()) {
        usb += " " + *part;
      }
    }
    if (!identity.serial.empty()) {
      usb += ", serial " + identity.serial;
    }
    text = text.empty() ? usb : text + ", " + usb;
  }
  return text;
}

std::string DescribeComPort(int number, const PortIdentity& identity) {
  const std::string port = "COM" + std::to_string(number);
  PortIdentity shown = identity;
  const std::string own = " (" + port + ")";
  if (shown.name.size() > own.size() &&
      shown.name.compare(shown.name.size() - own.size(), own.size(), own) == 0) {
    shown.name.resize(shown.name.size() - own.size());
  }
  const std::string adapter = DescribeAdapter(shown);
  return adapter.empty() ? port : port + " — " + adapter;
}

}  // namespace comm
