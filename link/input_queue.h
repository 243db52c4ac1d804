// The serial port's own input queue of 10000 bytes.
//
// The program waits for whole 4096-byte blocks by counting queued bytes, as a Windows driver
// queue of 10000 bytes (SetupComm) allows. A Linux tty never reports more than 4095 waiting
// bytes, and Wine's ClearCommError passes that count on and ignores SetupComm, so a block
// would never look complete there. The port therefore moves what the system holds into this
// queue and counts from it; on Windows the result is the same as the driver's own queue.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace comm {

class InputQueue {
 public:
  static constexpr std::size_t kCapacity = 10000;

  std::size_t Count() const { return count_; }
  std::size_t Room() const { return kCapacity - count_; }
  void Clear() { head_ = count_ = 0; }
  // Bytes that ever came in and went out; what changed between two looks.
  std::uint64_t Arrived() const { return arrived_; }
  std::uint64_t Taken() const { return taken_; }

  // Where the next bytes from the system go, and how many fit there in one piece.
  unsigned char* Tail(std::size_t& contiguous) {
    const std::size_t tail = (head_ + count_) % kCapacity;
    contiguous = std::min(Room(), kCapacity - tail);
    return bytes_.data() + tail;
  }
  void Added(std::size_t n) {
    const std::size_t added = std::min(n, Room());
    count_ += added;
    arrived_ += added;
  }

  std::size_t Take(unsigned char* out, std::size_t capacity) {
    std::size_t taken = 0;
    while (taken < capacity && count_ > 0) {
      const std::size_t piece = std::min({capacity - taken, count_, kCapacity - head_});
      std::memcpy(out + taken, bytes_.data() + head_, piece);
      head_ = (head_ + piece) % kCapacity;
      count_ -= piece;
      taken += piece;
    }
    taken_ += taken;
    return taken;
  }

 private:
  std::array<unsigned char, kCapacity> bytes_{};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::uint64_t arrived_ = 0;
  std::uint64_t taken_ = 0;
};

}  // namespace comm
