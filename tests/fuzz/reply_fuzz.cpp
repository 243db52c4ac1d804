// Matching the receiver's 12-byte replies and reports against every frame the program knows.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "link/frames.h"
#include "romimage/receiver_variant_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < comm::kFrameSize) {
    return 0;
  }
  const int variant = romimage::MatchVariantReport(data);
  if (variant >= 0) {
    // A match is exactly that variant's report frame.
    const comm::Frame report = comm::VariantReportFrame(variant);
    if (variant > 15 || std::memcmp(report.data(), data, report.size()) != 0) {
      __builtin_trap();
    }
  }
  return 0;
}
