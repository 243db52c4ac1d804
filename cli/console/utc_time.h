// Now in UTC as the bench's log writes it: "2026-12-07T14:24:23Z".
#pragma once

#include <string>

namespace cli {

std::string UtcNow();

}  // namespace cli
