#include "sim/bit_errors.h"

#include <cmath>
#include <limits>

namespace sim {

BitErrors::BitErrors(double rate, std::uint64_t seed) : rate_(rate), state_(seed) {
  untilNext_ = Gap();
}

std::uint64_t BitErrors::Next() {
  // splitmix64: the same numbers for a seed on every platform
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t BitErrors::Gap() {
  constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
  if (!(rate_ > 0)) {
    return kNever;
  }
  if (rate_ >= 1) {
    return 0;
  }
  // Geometric: the good bits before an error, each bit failing with probability rate_.
  const double u = static_cast<double>((Next() >> 11) + 1) * 0x1.0p-53;  // (0, 1]
  const double gap = std::floor(std::log(u) / std::log1p(-rate_));
  return gap >= 1.8e19 ? kNever : static_cast<std::uint64_t>(gap);
}

void BitErrors::Apply(std::uint8_t* data, std::size_t count) {
  const std::uint64_t bits = static_cast<std::uint64_t>(count) * 8;
  std::uint64_t at = 0;
  while (untilNext_ < bits - at) {
    at += untilNext_;
    data[at / 8] ^= static_cast<std::uint8_t>(1u << (at % 8));
    ++at;
    untilNext_ = Gap();
  }
  untilNext_ -= bits - at;
}

}  // namespace sim
