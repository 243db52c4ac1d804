// The parts of SerialPort that work on its own input queue alike on every platform.
#include "link/serial_port.h"

#include <algorithm>

#include "ui/sleep.h"

namespace comm {

std::map<int, std::string>& SerialPort::PortMap() {
  thread_local std::map<int, std::string> devices;
  return devices;
}

void SerialPort::MapPort(int port, const std::string& device) {
  if (device.empty()) {
    PortMap().erase(port);
  } else {
    PortMap()[port] = device;
  }
}

std::string SerialPort::MappedDevice(int port) {
  const auto found = PortMap().find(port);
  return found == PortMap().end() ? std::string() : found->second;
}

int SerialPort::InQueueCount() {
  if (!open_) {
    return 0;
  }
  Drain();
  return static_cast<int>(queue_.Count()) + (queue_.Room() == 0 ? SystemCount() : 0);
}

bool SerialPort::WaitForInput(int wanted, std::chrono::steady_clock::time_point until) {
  using namespace std::chrono;
  if (!open_) {
    ui::SleepUntil(until);  // nothing can come: the time passes all the same
    return false;
  }
  for (bool first = true;; first = false) {
    // Once the time is up the tick that follows looks at the line itself: asking it here
    // too would only cost a system call a tick (dear under Wine).
    if (!first && steady_clock::now() >= until) {
      return false;
    }
    const int queued = InQueueCount();
    // Bytes already reported once, none taken since: the early tick they earned has come
    // and gone, and calling them ready again would spin. Only new bytes count now.
    const bool fresh = queue_.Arrived() != readyArrived_ || queue_.Taken() != readyTaken_;
    const auto now = steady_clock::now();
    if (queued >= wanted && fresh && open_) {
      readyArrived_ = queue_.Arrived();
      readyTaken_ = queue_.Taken();
      return true;
    }
    if (!open_ || now >= until) {
      return false;
    }
    if (queued >= wanted && queue_.Room() == 0) {
      ui::SleepUntil(until);  // full of the same bytes: nothing new can come in before then
      return false;
    }
    // Once bytes flow, the rest cannot come sooner than the line carries it (10 bits a
    // byte): sleep through most of that instead of waking for every piece.
    const auto carried =
        microseconds(static_cast<long long>(wanted - queued) * 10'000'000LL / std::max(baud_, 1));
    if (queued > 0 && carried > milliseconds(2)) {
      ui::SleepUntil(std::min(until, now + carried - milliseconds(1)));
      continue;
    }
    WaitForArrival(std::max(milliseconds(1), duration_cast<milliseconds>(until - now)));
  }
}

int SerialPort::Read(void* buffer, int capacity) {
  if (!open_ || buffer == nullptr || capacity <= 0) {
    return 0;
  }
  // The queue first; what the system holds follows as the queue makes room.
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t taken = 0;
  const auto wanted = static_cast<std::size_t>(capacity);
  while (taken < wanted) {
    Drain();
    const std::size_t got = queue_.Take(out + taken, wanted - taken);
    if (got == 0) {
      break;
    }
    taken += got;
  }
  return static_cast<int>(taken);
}

}  // namespace comm
