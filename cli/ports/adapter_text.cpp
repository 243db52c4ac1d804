#include "cli/ports/adapter_text.h"

#include <nlohmann/json.hpp>
#include <utility>

namespace cli {

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
