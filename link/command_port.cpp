#include "link/command_port.h"

#include <chrono>
#include <thread>

#include "link/frames.h"

namespace comm {

namespace {
constexpr int kInspections = 200;
constexpr auto kInspectionGap = std::chrono::milliseconds(10);
}  // namespace

std::string OpenPortFailure(std::int32_t com) {
  return "open port" + std::to_string(com) + " error!";
}

int CommandPort::SendCommand(std::uint8_t code, std::uint8_t qualifier, std::uint8_t extra1,
                             std::uint8_t extra2) {
  const Frame frame = CommandFrame(code, qualifier, extra1, extra2);
  return Write(frame.data(), static_cast<int>(frame.size()));
}

int CommandPort::WaitAck() {
  // Exactly 12 queued bytes count as a reply: fewer may still grow into one, and more (an
  // acknowledgement with anything after it) is never taken and runs into the time-out.
  for (int inspection = 0; inspection < kInspections; ++inspection) {
    if (InQueueCount() == static_cast<int>(kFrameSize)) {
      Frame reply{};
      Read(reply.data(), static_cast<int>(reply.size()));
      if (reply == AckFrame) {
        return 1;
      }
      break;
    }
    std::this_thread::sleep_for(kInspectionGap);
  }
  SendCommand(CMD_STOP);
  return 0;
}

}  // namespace comm
