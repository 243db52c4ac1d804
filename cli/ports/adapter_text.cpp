#include "cli/ports/adapter_text.h"

#include <nlohmann/json.hpp>
#include <utility>

namespace cli {

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

void AddAdapterFields(Json& object, const PortIdentity& identity) {
  const std::pair<const char*, const std::string*> fields[] = {
      {"bus", &identity.bus},
      {"vendorId", &identity.vendorId},
      {"productId", &identity.productId},
      {"manufacturer", &identity.manufacturer},
      {"product", &identity.product},
      {"serial", &identity.serial},
      {"name", &identity.name}};
  for (const auto& [key, value] : fields) {
    if (!value->empty()) {
      object[key] = *value;
    }
  }
}

}  // namespace cli
