// A USB serial adapter between the line and the program: it hands on what the line carried in
// packets, and a packet that is not full once its latency timer is up.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/receiver_model.h"

namespace sim {

class UsbAdapter {
 public:
  using Clock = std::chrono::steady_clock;

  // Packets of these sizes, in turn; none: no adapter, bytes go on as the line carries them.
  UsbAdapter(std::vector<std::size_t> packetSizes, unsigned latencyMs);

  bool Present() const { return !packetSizes_.empty(); }
  // Bytes that have crossed the line, as the program's end reads them.
  void Take(const std::uint8_t* data, std::size_t count, Clock::time_point now);
  // Writes the full packets to the program's end, and a partial one once the latency is up;
  // while the program does not read, the adapter holds on.
  void Flush(int programEnd, Clock::time_point now);
  // When the next packet is due, or nullopt with nothing held.
  std::optional<Clock::time_point> Due() const;
  // A pulled adapter takes what it held with it.
  void Drop();

 private:
  std::size_t NextPacketSize() const;

  std::vector<std::size_t> packetSizes_;
  std::chrono::milliseconds latency_;
  Bytes held_;
  Clock::time_point since_;     // when the latency timer started
  std::size_t nextPacket_ = 0;  // which of the packet sizes comes next
};

}  // namespace sim
