#include "sim/receiver_model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sim {

using comm::Frame;
using comm::kFrameSize;

namespace {

// Whether the first n bytes (n up to 8) could begin a command or key frame.
bool StartsLikeFrame(const std::uint8_t* bytes, std::size_t count) {
  const std::size_t n = std::min(count, comm::kCommandSignature.size());
  return std::equal(bytes, bytes + n, comm::kCommandSignature.begin()) ||
         std::equal(bytes, bytes + n, comm::kKeySignature.begin());
}

}  // namespace

std::string Hex(const std::uint8_t* data, std::size_t count) {
  std::string text;
  char digits[3];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof(digits), "%02X", data[i]);
    text += digits;
  }
  return text;
}

bool ParseHex(const std::string& text, Bytes& bytes) {
  bytes.clear();
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits += c;
    } else if (c != ' ' && c != ':') {
      return false;
    }
  }
  if (digits.size() % 2 != 0) {
    return false;
  }
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return true;
}

std::string FrameName(const Frame& frame) {
  if (std::equal(comm::kKeySignature.begin(), comm::kKeySignature.end(), frame.begin())) {
    char name[16];
    std::snprintf(name, sizeof(name), "KEY 0x%02X", frame[9]);
    return name;
  }
  if (frame[8] == comm::VARIANT_REPORT && frame[9] >= 1 && frame[9] <= 16) {
    return "VARIANT_ECHO " + std::to_string(frame[9]);
  }
  if (frame == comm::CommandFrame(comm::CMD_CONNECT)) return "CMD_CONNECT";
  if (frame == comm::CommandFrame(comm::CMD_STOP)) return "CMD_STOP";
  if (frame == comm::CommandFrame(comm::CMD_READ_START)) return "CMD_READ_START";
  if (frame == comm::CommandFrame(comm::CMD_READ_DONE)) return "CMD_READ_DONE";
  if (frame == comm::CommandFrame(comm::CMD_UPGRADE_START)) return "CMD_UPGRADE_START";
  return "FRAME";
}

std::vector<Emission> ReceiverModel::Receive(const std::uint8_t* data, std::size_t count,
                                             std::vector<ReceivedFrame>& frames) {
  std::vector<Emission> out;
  pending_.insert(pending_.end(), data, data + count);
  std::size_t start = 0;
  while (start < pending_.size()) {
    const std::uint8_t* rest = pending_.data() + start;
    const std::size_t available = pending_.size() - start;
    if (!StartsLikeFrame(rest, available)) {
      ++start;  // noise: look for a signature one byte further on
      ++dropped_;
      continue;
    }
    if (available < kFrameSize) {
      break;
    }
    Frame frame{};
    std::copy_n(rest, kFrameSize, frame.begin());
    start += kFrameSize;
    frames.push_back(ReceivedFrame{frame, FrameName(frame)});
    for (Emission& emission : Answer(frame)) {
      out.push_back(std::move(emission));
    }
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
  return out;
}

std::vector<Emission> ReceiverModel::Answer(const Frame& frame) {
  if (frame == comm::CommandFrame(comm::CMD_CONNECT)) {
    const Frame reply = options_.ackReply.value_or(comm::AckFrame);
    return Reply(Bytes(reply.begin(), reply.end()));
  }
  // Key frames are never answered; CMD_STOP ends whatever exchange was going on.
  return {};
}

std::vector<Emission> ReceiverModel::Reply(Bytes bytes) const {
  if (options_.silent) {
    return {};
  }
  bytes.insert(bytes.end(), options_.extraAfterReply.begin(), options_.extraAfterReply.end());
  const std::size_t pieces = std::clamp<std::size_t>(options_.replyPieces, 1, bytes.size());
  std::vector<Emission> out;
  std::size_t begin = 0;
  for (std::size_t i = 0; i < pieces; ++i) {
    const std::size_t end = bytes.size() * (i + 1) / pieces;
    Emission emission;
    emission.delayMs = i == 0 ? options_.replyDelayMs : options_.pieceGapMs;
    emission.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                          bytes.begin() + static_cast<std::ptrdiff_t>(end));
    out.push_back(std::move(emission));
    begin = end;
  }
  return out;
}

}  // namespace sim
