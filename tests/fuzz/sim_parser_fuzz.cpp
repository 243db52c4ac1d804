// The simulated receiver's input parser: any bytes, in any pieces, with any options.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/receiver_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  sim::ReceiverOptions options;
  options.variant = data[0] % 16;
  options.flash = sim::Bytes(1, data[1]);  // zeros after the first byte: cheap to make
  options.ignoreEchoes = (data[0] & 0x10) != 0;
  options.glueReplies = (data[0] & 0x20) != 0;
  options.replyPieces = 1 + (data[1] % 5);
  options.cutBlock = (data[1] & 0x80) != 0 ? 1 : -1;
  options.cutBytes = data[1];
  // Line noise on the first blocks either way, at places and sendings the data choose.
  for (const sim::Damage damage : {sim::Damage::kFlip, sim::Damage::kDrop, sim::Damage::kDouble}) {
    if ((data[0] & 0x40) != 0) {
      sim::ByteFault fault;
      fault.direction = (data[1] & 1) != 0 ? sim::Direction::kRead : sim::Direction::kUpgrade;
      fault.damage = damage;
      fault.block = data[1] % 3;
      fault.offset = (data[1] * 257u + static_cast<unsigned>(damage)) % 4096;
      fault.sendings = {{1, 1u + data[0] % 3}};
      options.byteFaults.push_back(fault);
    }
  }
  sim::ReceiverModel model(options);
  std::vector<sim::ReceivedFrame> frames;
  std::size_t offset = 2;
  while (offset < size) {
    // Piece lengths come from the data too, so frames split anywhere.
    const std::size_t piece = 1 + data[offset] % 64;
    const std::size_t count = piece < size - offset ? piece : size - offset;
    model.Receive(data + offset, count, frames);
    offset += count;
  }
  if (model.Flash().size() != static_cast<std::size_t>(model.BlockCount()) * 4096) {
    __builtin_trap();
  }
  return 0;
}
