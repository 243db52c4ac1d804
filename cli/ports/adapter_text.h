// The adapter behind a port as a technician knows it, for probe's list and the bench's log.
#pragma once

#include <string>

#include "cli/console/json_line.h"
#include "cli/ports/system_ports.h"
#include "link/port_identity.h"

namespace cli {

// "USB 0403:6001 Maker Product, serial A5", "UART", or Windows' name for it; empty for a
// port the system says nothing of (a pty, a network port).
using comm::DescribeAdapter;

// Each thing the system says of the adapter, as fields of its own (bus, vendorId, productId,
// manufacturer, product, serial, name).
void AddAdapterFields(Json& object, const PortIdentity& identity);

}  // namespace cli
