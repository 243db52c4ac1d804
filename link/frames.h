// Every 12-byte frame on the line, in one place: the command frames the program sends and
// recognises, and the remote-control key frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace comm {

constexpr std::size_t kFrameSize = 12;
using Frame = std::array<std::uint8_t, kFrameSize>;

// "ZvilEyEs" opens every command frame and every reply; "EvilEyEs" opens a key frame.
constexpr std::array<std::uint8_t, 8> kCommandSignature = {0x5A, 0x76, 0x69, 0x6C,
                                                           0x45, 0x79, 0x45, 0x73};
constexpr std::array<std::uint8_t, 8> kKeySignature = {0x45, 0x76, 0x69, 0x6C,
                                                       0x45, 0x79, 0x45, 0x73};

// Command codes (byte 9).
constexpr std::uint8_t CMD_CONNECT = 0x10;
constexpr std::uint8_t CMD_STOP = 0x02;
constexpr std::uint8_t CMD_READ_START = 0x97;
constexpr std::uint8_t CMD_READ_DONE = 0x01;
constexpr std::uint8_t CMD_UPGRADE_START = 0x99;

// Qualifier (byte 8) of the variant report frame and of its echo; code = variant + 1.
constexpr std::uint8_t VARIANT_REPORT = 0x10;

// Byte 8 and byte 9 of the receiver's "go on" replies during an upgrade.
constexpr std::uint8_t kReplyQualifier11 = 0x11;
constexpr std::uint8_t kReplyCode11 = 0x11;
constexpr std::uint8_t kReplyCodeAA = 0xAA;
constexpr std::uint8_t kReplyCodeF0 = 0xF0;
constexpr std::uint8_t kReplyCodeF2 = 0xF2;
constexpr std::uint8_t kReplyCodeFF = 0xFF;

// Fixed bytes of a key frame around the key code: "G" key "A" "N".
constexpr std::uint8_t kKeyFrameLead = 0x47;
constexpr std::uint8_t kKeyFrameTail1 = 0x41;
constexpr std::uint8_t kKeyFrameTail2 = 0x4E;

// A command frame; note that the code comes first although it is stored after the qualifier.
constexpr Frame CommandFrame(std::uint8_t code, std::uint8_t qualifier = 0, std::uint8_t extra1 = 0,
                             std::uint8_t extra2 = 0) {
  Frame frame{};
  for (std::size_t i = 0; i < kCommandSignature.size(); ++i) {
    frame[i] = kCommandSignature[i];
  }
  frame[8] = qualifier;
  frame[9] = code;
  frame[10] = extra1;
  frame[11] = extra2;
  return frame;
}

constexpr Frame KeyFrame(std::uint8_t key) {
  Frame frame{};
  for (std::size_t i = 0; i < kKeySignature.size(); ++i) {
    frame[i] = kKeySignature[i];
  }
  frame[8] = kKeyFrameLead;
  frame[9] = key;
  frame[10] = kKeyFrameTail1;
  frame[11] = kKeyFrameTail2;
  return frame;
}

// The receiver's acknowledgement: the signature and four zero bytes.
constexpr Frame AckFrame = CommandFrame(0);

// The variant report frame of variant 0 to 15, and the program's echo of it.
constexpr Frame VariantReportFrame(int variant) {
  return CommandFrame(static_cast<std::uint8_t>(variant + 1), VARIANT_REPORT);
}

}  // namespace comm
