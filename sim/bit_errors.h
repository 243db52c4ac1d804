// Random bit errors on a noisy line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// Bit errors at a rate, from a seeded generator of their own: where they fall depends only on
// the seed and on how many bits have gone through before.
class BitErrors {
 public:
  BitErrors(double rate, std::uint64_t seed);
  void Apply(std::uint8_t* data, std::size_t count);

 private:
  std::uint64_t Next();
  // How many good bits come before the next error.
  std::uint64_t Gap();

  double rate_;
  std::uint64_t state_;
  std::uint64_t untilNext_;
};

}  // namespace sim
