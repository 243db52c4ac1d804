// SHA-256, for naming a ROM image's data part in a way a technician can compare anywhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace cli {

class Sha256 {
 public:
  Sha256();
  void Add(const std::uint8_t* data, std::size_t size);
  // The digest as 64 lower-case hex digits; the object is used up afterwards.
  std::string HexDigest();

 private:
  void Compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pendingSize_ = 0;
  std::uint64_t totalBytes_ = 0;
};

}  // namespace cli
