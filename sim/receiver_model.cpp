#include "sim/receiver_model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "romimage/receiver_variant_table.h"

namespace sim {

using comm::Frame;
using comm::kFrameSize;

namespace {

// A decimal number of at most `limit`, digits only.
bool Decimal(const std::string& text, unsigned limit, unsigned& value) {
  if (text.empty() || text.size() > 9 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  value = static_cast<unsigned>(std::stoul(text));
  return value <= limit;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) {
      return parts;
    }
    start = end + 1;
  }
}

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

bool ParseByteFault(const std::string& text, Damage damage, ByteFault& fault) {
  const std::vector<std::string> fields = Split(text, ':');
  if (fields.size() < 3 || fields.size() > 4) {
    return false;
  }
  ByteFault parsed;
  parsed.damage = damage;
  if (fields[0] == "read") {
    parsed.direction = Direction::kRead;
  } else if (fields[0] == "upgrade") {
    parsed.direction = Direction::kUpgrade;
  } else {
    return false;
  }
  unsigned block = 0, offset = 0;
  if (!Decimal(fields[1], 65535, block) ||
      !Decimal(fields[2], static_cast<unsigned>(romimage::kBlockSize) - 1, offset)) {
    return false;
  }
  parsed.block = block;
  parsed.offset = offset;
  if (fields.size() == 4) {
    parsed.sendings.clear();
    for (const std::string& item : Split(fields[3], ',')) {
      const std::vector<std::string> ends = Split(item, '-');
      unsigned first = 0, last = 0;
      if (ends.size() > 2 || !Decimal(ends.front(), 1000000, first) ||
          !Decimal(ends.back(), 1000000, last) || first == 0 || last < first) {
        return false;
      }
      parsed.sendings.emplace_back(first, last);
    }
  }
  fault = std::move(parsed);
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

Bytes MakeFlash(int variant, unsigned seed, bool controlBytes) {
  static constexpr std::uint8_t kTtySpecial[] = {0x11, 0x13, 0x0D, 0x0A, 0x03,
                                                 0x04, 0x1A, 0x7F, 0xFF};
  const int v = std::clamp(variant, 0, romimage::kVariantCount - 1);
  Bytes flash(romimage::ReceiverVariantTable[v].ImageSize());
  std::uint32_t state = seed * 2654435761u + 1u;
  for (std::size_t i = 0; i < flash.size(); ++i) {
    // xorshift: cheap, repeatable, and no two blocks alike
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    flash[i] = static_cast<std::uint8_t>(state >> 24);
    if (controlBytes && state % 3 == 0) {
      flash[i] = kTtySpecial[(state >> 8) % sizeof(kTtySpecial)];
    }
  }
  for (std::size_t block = 0; block * romimage::kBlockSize < flash.size(); ++block) {
    flash[block * romimage::kBlockSize] = static_cast<std::uint8_t>(block);
    flash[block * romimage::kBlockSize + 1] = static_cast<std::uint8_t>(block >> 8);
  }
  return flash;
}

ReceiverModel::ReceiverModel(ReceiverOptions options) : options_(std::move(options)) {
  options_.variant = std::clamp(options_.variant, 0, romimage::kVariantCount - 1);
  if (options_.flash.empty()) {
    options_.flash = MakeFlash(options_.variant, options_.seed, options_.controlBytes);
  }
  options_.flash.resize(romimage::ReceiverVariantTable[options_.variant].ImageSize());
}

void ReceiverModel::LineLost() {
  hangUpRequested_ = false;
  options_.hangUpAfterBlock = -1;
  reading_ = upgrading_ = upgradeComplete_ = false;
  pending_.clear();
  ForgetUpgradeBlock();
}

void ReceiverModel::Restart() {
  restartRequested_ = false;
  reading_ = upgrading_ = false;
  pending_.clear();
  ForgetUpgradeBlock();
}

void ReceiverModel::ForgetUpgradeBlock() {
  blockSending_ = 0;
  blockHits_.clear();
  nextHit_ = blockLineBytes_ = blockReady_ = 0;
}

std::vector<ReceiverModel::Hit> ReceiverModel::HitsFor(Direction direction, std::uint32_t block,
                                                       unsigned sending) const {
  std::vector<Hit> hits;
  for (const ByteFault& fault : options_.byteFaults) {
    const bool inSending = std::any_of(
        fault.sendings.begin(), fault.sendings.end(),
        [&](const auto& range) { return sending >= range.first && sending <= range.second; });
    if (fault.direction != direction || fault.block != block || !inSending) {
      continue;
    }
    auto hit = std::find_if(hits.begin(), hits.end(),
                            [&](const Hit& h) { return h.offset == fault.offset; });
    if (hit == hits.end()) {
      hits.push_back(Hit{fault.offset});
      hit = hits.end() - 1;
    }
    hit->flip ^= fault.damage == Damage::kFlip;  // two flips of one bit undo each other
    hit->drop |= fault.damage == Damage::kDrop;
    hit->twice |= fault.damage == Damage::kDouble;
  }
  std::sort(hits.begin(), hits.end(),
            [](const Hit& a, const Hit& b) { return a.offset < b.offset; });
  return hits;
}

std::uint32_t ReceiverModel::BlockCount() const {
  return romimage::ReceiverVariantTable[options_.variant].blockCount;
}

Emission ReceiverModel::Block(std::uint32_t index) {
  Emission block;
  block.name = "BLOCK " + std::to_string(index);
  const auto begin =
      options_.flash.begin() + static_cast<std::ptrdiff_t>(index * romimage::kBlockSize);
  std::size_t size = romimage::kBlockSize;
  if (static_cast<int>(index) == options_.cutBlock) {
    size -= std::min<std::size_t>(options_.cutBytes, size);
  }
  // What leaves the receiver, with the line's damage to this sending of the block.
  std::size_t done = 0;
  for (const Hit& hit : HitsFor(Direction::kRead, index, ++sendings_.read[index])) {
    if (hit.offset >= size) {
      break;
    }
    block.bytes.insert(block.bytes.end(), begin + static_cast<std::ptrdiff_t>(done),
                       begin + static_cast<std::ptrdiff_t>(hit.offset));
    done = hit.offset + 1;
    if (hit.drop) {
      continue;
    }
    const std::uint8_t byte = begin[hit.offset] ^ (hit.flip ? 1 : 0);
    block.bytes.insert(block.bytes.end(), hit.twice ? 2 : 1, byte);
  }
  block.bytes.insert(block.bytes.end(), begin + static_cast<std::ptrdiff_t>(done),
                     begin + static_cast<std::ptrdiff_t>(size));
  if (static_cast<int>(index) == options_.pauseBeforeBlock) {
    block.delayMs = options_.pauseMs;
  }
  if (static_cast<int>(index) == options_.hangUpAfterBlock && options_.hangUpInRead) {
    block.hangUpAfter = true;
  }
  return block;
}

std::vector<Emission> ReceiverModel::Receive(const std::uint8_t* data, std::size_t count,
                                             std::vector<ReceivedFrame>& frames) {
  std::vector<Emission> out;
  if (restartRequested_) {
    return out;  // restarting: it takes in nothing
  }
  pending_.insert(pending_.end(), data, data + count);
  std::size_t start = 0;
  while (start < pending_.size()) {
    if (upgrading_) {
      if (!TakeUpgradeBlock(start, frames, out)) {
        break;
      }
      continue;
    }
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
    if (restartRequested_) {
      break;  // what came after the stop is lost in the restart
    }
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
  return out;
}

comm::Frame ReceiverModel::GoOnReply(std::uint32_t block) const {
  using romimage::ReplyFamily;
  ReplyFamily family = romimage::ReplyFamilyOf(options_.variant);
  if (options_.otherSet) {
    family = family == ReplyFamily::kCiHci ? ReplyFamily::kFtaT : ReplyFamily::kCiHci;
  }
  const std::size_t which = options_.replyChoice >= 0 && options_.replyChoice < 3
                                ? static_cast<std::size_t>(options_.replyChoice)
                                : block % 3;
  return romimage::AcknowledgementSet(family)[which];
}

void ReceiverModel::DamageUpgradeBlock(std::size_t start) {
  while (blockReady_ < romimage::kBlockSize && start + blockReady_ < pending_.size()) {
    const std::size_t at = start + blockReady_;
    // Undamaged bytes up to the next hit, or as far as there are bytes and room.
    std::size_t run = std::min(pending_.size() - at, romimage::kBlockSize - blockReady_);
    if (nextHit_ < blockHits_.size()) {
      run = std::min<std::size_t>(run, blockHits_[nextHit_].offset - blockLineBytes_);
    }
    if (run > 0) {
      blockReady_ += run;
      blockLineBytes_ += run;
      continue;
    }
    const Hit hit = blockHits_[nextHit_++];
    ++blockLineBytes_;
    const auto where = pending_.begin() + static_cast<std::ptrdiff_t>(at);
    if (hit.drop) {
      pending_.erase(where);  // the later bytes move up: the block ends one line byte later
      continue;
    }
    *where ^= hit.flip ? 1 : 0;
    if (hit.twice) {
      const std::uint8_t byte = *where;
      pending_.insert(where, byte);  // a second copy: past the block's end it begins the next
      ++blockReady_;
    }
    ++blockReady_;
  }
}

bool ReceiverModel::TakeUpgradeBlock(std::size_t& start, std::vector<ReceivedFrame>& frames,
                                     std::vector<Emission>& out) {
  if (blockSending_ == 0) {
    // A stop frame where a block would begin ends the upgrade early.
    const Frame stop = comm::CommandFrame(comm::CMD_STOP);
    const std::size_t seen = std::min(pending_.size() - start, kFrameSize);
    if (std::equal(stop.begin(), stop.begin() + static_cast<std::ptrdiff_t>(seen),
                   pending_.begin() + static_cast<std::ptrdiff_t>(start))) {
      if (seen < kFrameSize) {
        return false;
      }
      frames.push_back(ReceivedFrame{stop, "CMD_STOP"});
      upgrading_ = false;
      ForgetUpgradeBlock();
      start += kFrameSize;
      return true;
    }
    // Otherwise a block begins: this is another sending of it.
    blockSending_ = ++sendings_.upgrade[blocksTaken_];
    blockHits_ = HitsFor(Direction::kUpgrade, blocksTaken_, blockSending_);
  }
  DamageUpgradeBlock(start);
  if (blockReady_ < romimage::kBlockSize) {
    return false;
  }
  const std::uint8_t* rest = pending_.data() + start;
  const std::uint32_t block = blocksTaken_++;
  std::copy_n(rest, romimage::kBlockSize,
              options_.flash.begin() + static_cast<std::ptrdiff_t>(block * romimage::kBlockSize));
  ReceivedFrame logged;
  std::copy_n(rest, kFrameSize, logged.bytes.begin());
  logged.name = "BLOCK " + std::to_string(block);
  frames.push_back(logged);
  start += romimage::kBlockSize;
  // A doubled last byte is already past the damage: it begins the next block.
  const std::size_t spilled = blockReady_ - romimage::kBlockSize;
  ForgetUpgradeBlock();
  blockReady_ = spilled;
  if (blocksTaken_ >= BlockCount()) {
    upgrading_ = false;  // what follows is frames again
    upgradeComplete_ = true;
    blockReady_ = 0;
  }
  if (static_cast<int>(block) == options_.hangUpAfterBlock && options_.hangUpInUpgrade) {
    hangUpRequested_ = true;
    return true;
  }
  if (options_.silentAfterBlock >= 0 && static_cast<int>(block) >= options_.silentAfterBlock) {
    return true;
  }
  const Frame reply = static_cast<int>(block) == options_.reportAtBlock
                          ? comm::VariantReportFrame(options_.variant)
                          : GoOnReply(block + 1);
  for (Emission& emission : Reply(Bytes(reply.begin(), reply.end()))) {
    out.push_back(std::move(emission));
  }
  return true;
}

std::vector<Emission> ReceiverModel::Answer(const Frame& frame) {
  if (frame == comm::CommandFrame(comm::CMD_CONNECT)) {
    const Frame reply = options_.replyOverride.value_or(comm::AckFrame);
    return Reply(Bytes(reply.begin(), reply.end()));
  }
  const Frame report = comm::VariantReportFrame(options_.variant);
  if (frame == comm::CommandFrame(comm::CMD_READ_START)) {
    upgradeComplete_ = false;  // a stop now ends the read
    // The report, then block 0 at once; each further block waits for the echo.
    const Frame reply = options_.replyOverride.value_or(report);
    std::vector<Emission> out = Reply(Bytes(reply.begin(), reply.end()));
    if (options_.silent) {
      return out;
    }
    reading_ = true;
    nextBlock_ = 0;
    do {
      out.push_back(Block(nextBlock_++));
    } while (options_.ignoreEchoes && nextBlock_ < BlockCount());
    return out;
  }
  if (frame == comm::CommandFrame(comm::CMD_UPGRADE_START)) {
    const Frame goAhead =
        options_.replyOverride.value_or(options_.goAheadWithReport ? report : GoOnReply(0));
    std::vector<Emission> out = Reply(Bytes(goAhead.begin(), goAhead.end()));
    upgrading_ = true;
    upgradeComplete_ = false;
    blocksTaken_ = 0;
    ForgetUpgradeBlock();
    return out;
  }
  if (frame == report && reading_) {
    if (nextBlock_ < BlockCount()) {
      return {Block(nextBlock_++)};
    }
    return {};
  }
  const Bytes ack(comm::AckFrame.begin(), comm::AckFrame.end());
  if (frame == comm::CommandFrame(comm::CMD_READ_DONE)) {
    reading_ = false;
    if (++readsDone_ == options_.hangUpAfterReads) {
      hangUpRequested_ = true;
    }
    return options_.answerReadDone ? Reply(ack) : std::vector<Emission>();
  }
  if (frame == comm::CommandFrame(comm::CMD_STOP)) {
    reading_ = false;
    restartRequested_ = upgradeComplete_ && options_.restartAfterUpgrade;
    upgradeComplete_ = false;
  }
  const bool key =
      std::equal(comm::kKeySignature.begin(), comm::kKeySignature.end(), frame.begin());
  return key && options_.answerKeys ? Reply(ack) : std::vector<Emission>();
}

std::vector<Emission> ReceiverModel::Reply(Bytes bytes) const {
  if (options_.silent) {
    return {};
  }
  if (options_.glueReplies) {
    const Bytes once = bytes;
    bytes.insert(bytes.end(), once.begin(), once.end());
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
