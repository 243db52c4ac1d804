// What a receiver holds as far as a run knows, so that a port can tell it from the next
// receiver on its cable by one read.
#pragma once

#include <cstdint>
#include <vector>

namespace cli {

struct HeldFlash {
  int variant = -1;  // its kind; -1: not known (a write stopped part-way, reads that disagree)
  std::vector<std::uint8_t> data;  // empty with a kind: refused for its kind, nothing read

  bool Known() const { return variant >= 0; }
  bool operator==(const HeldFlash& other) const = default;
};

}  // namespace cli
