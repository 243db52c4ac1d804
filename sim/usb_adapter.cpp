#include "sim/usb_adapter.h"

#include <unistd.h>

#include <algorithm>
#include <utility>

namespace sim {

UsbAdapter::UsbAdapter(std::vector<std::size_t> packetSizes, unsigned latencyMs)
    : packetSizes_(std::move(packetSizes)), latency_(latencyMs) {}

std::size_t UsbAdapter::NextPacketSize() const {
  return packetSizes_[nextPacket_ % packetSizes_.size()];
}

void UsbAdapter::Take(const std::uint8_t* data, std::size_t count, Clock::time_point now) {
  if (held_.empty()) {
    since_ = now;
  }
  held_.insert(held_.end(), data, data + count);
}

void UsbAdapter::Flush(int programEnd, Clock::time_point now) {
  while (!held_.empty() && programEnd >= 0) {
    const std::size_t packet = NextPacketSize();
    const bool full = held_.size() >= packet;
    if (!full && now < since_ + latency_) {
      return;
    }
    const std::size_t count = std::min(packet, held_.size());
    const ssize_t written = ::write(programEnd, held_.data(), count);
    if (written <= 0) {
      return;  // the program is not reading: the adapter holds on
    }
    held_.erase(held_.begin(), held_.begin() + written);
    if (static_cast<std::size_t>(written) == count) {
      ++nextPacket_;
    }
    since_ = now;  // the latency timer starts again with each packet
  }
}

std::optional<UsbAdapter::Clock::time_point> UsbAdapter::Due() const {
  if (held_.empty()) {
    return std::nullopt;
  }
  return held_.size() >= NextPacketSize() ? since_ : since_ + latency_;
}

void UsbAdapter::Drop() {
  held_.clear();
  nextPacket_ = 0;
}

}  // namespace sim
