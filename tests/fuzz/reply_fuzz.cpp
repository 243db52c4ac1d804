// Matching the receiver's 12-byte replies: whatever arrives, a reply is recognised only when
// it equals one of the frames below, written out by hand, and then as that frame.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "link/frames.h"
#include "romimage/receiver_variant_table.h"

namespace {

using Literal = std::array<std::uint8_t, 12>;

constexpr std::uint8_t S[] = {0x5A, 0x76, 0x69, 0x6C, 0x45, 0x79, 0x45, 0x73};

constexpr Literal Frame(std::uint8_t qualifier, std::uint8_t code) {
  return {S[0], S[1], S[2], S[3], S[4], S[5], S[6], S[7], qualifier, code, 0x00, 0x00};
}

// The variant reports, variant 0 to 15.
constexpr Literal kReports[16] = {
    Frame(0x10, 0x01), Frame(0x10, 0x02), Frame(0x10, 0x03), Frame(0x10, 0x04),
    Frame(0x10, 0x05), Frame(0x10, 0x06), Frame(0x10, 0x07), Frame(0x10, 0x08),
    Frame(0x10, 0x09), Frame(0x10, 0x0A), Frame(0x10, 0x0B), Frame(0x10, 0x0C),
    Frame(0x10, 0x0D), Frame(0x10, 0x0E), Frame(0x10, 0x0F), Frame(0x10, 0x10)};
constexpr Literal kFtaT[3] = {Frame(0x00, 0x00), Frame(0x11, 0x11), Frame(0x00, 0xAA)};
constexpr Literal kCiHci[3] = {Frame(0x00, 0xF0), Frame(0x00, 0xF2), Frame(0x00, 0xFF)};

bool Equals(const std::uint8_t* data, const Literal& literal) {
  return std::memcmp(data, literal.data(), literal.size()) == 0;
}

bool OneOf(const std::uint8_t* data, const Literal (&set)[3]) {
  return std::any_of(std::begin(set), std::end(set),
                     [data](const Literal& literal) { return Equals(data, literal); });
}

bool Accepted(const std::uint8_t* data, romimage::ReplyFamily family) {
  const romimage::ReplySet& set = romimage::AcknowledgementSet(family);
  return std::any_of(set.begin(), set.end(), [data](const comm::Frame& frame) {
    return std::memcmp(data, frame.data(), frame.size()) == 0;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < comm::kFrameSize) {
    return 0;
  }
  const int variant = romimage::MatchVariantReport(data);
  if (variant >= 0 && (variant > 15 || !Equals(data, kReports[variant]))) {
    __builtin_trap();
  }
  if (variant < 0 && std::any_of(std::begin(kReports), std::end(kReports),
                                 [data](const Literal& report) { return Equals(data, report); })) {
    __builtin_trap();  // a report that went unrecognised
  }
  if (Accepted(data, romimage::ReplyFamily::kFtaT) != OneOf(data, kFtaT) ||
      Accepted(data, romimage::ReplyFamily::kCiHci) != OneOf(data, kCiHci)) {
    __builtin_trap();
  }
  return 0;
}
