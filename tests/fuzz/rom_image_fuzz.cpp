// Recognising a ROM image file from any bytes: the length, the tag, the block count.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "romimage/receiver_variant_table.h"
#include "romimage/rom_image_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Inputs stand for the first bytes of a file; the rest is padding to one of the two sizes
  // (or none), so that both length branches are reached.
  const std::size_t lengths[] = {size, 1048596, 2097172};
  const std::size_t length = lengths[size % 3];
  std::vector<std::uint8_t> file(length, 0);
  for (std::size_t i = 0; i < size && i < length; ++i) {
    file[i] = data[i];
  }
  int variant = -1;
  if (romimage::CheckImageFile(file.data(), file.size(), variant) ==
      romimage::ImageCheck::kAccepted) {
    // Every block the tag calls for lies inside the file.
    const auto& row = romimage::ReceiverVariantTable[variant];
    if (romimage::kTagSize + static_cast<std::size_t>(row.blockCount) * romimage::kBlockSize >
        file.size()) {
      __builtin_trap();
    }
  }
  if (size >= romimage::kTagSize) {
    romimage::MatchImageTag(data);
  }
  return 0;
}
