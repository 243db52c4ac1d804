// The receiver's side of the line as a pure model: bytes in, bytes out, no clock and no I/O.
// The runner (PtyRunner) puts it on a pseudo-terminal and keeps time for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/frames.h"

namespace sim {

using Bytes = std::vector<std::uint8_t>;

// Which way a block crosses the line: a read block leaving the receiver, an upgrade block
// arriving at it.
enum class Direction { kRead, kUpgrade };
enum class Damage { kFlip, kDrop, kDouble };

// Line noise at one place: byte `offset` of block `block` has bit 0 flipped, is lost or
// arrives twice, in the given sendings of that block (counted from 1, over the receiver's
// life). Offsets count the bytes the line carries for the block, before any of its damage.
struct ByteFault {
  Direction direction = Direction::kRead;
  Damage damage = Damage::kFlip;
  std::uint32_t block = 0;
  std::uint32_t offset = 0;                                     // 0 to 4095
  std::vector<std::pair<unsigned, unsigned>> sendings{{1, 1}};  // inclusive ranges
};

// "DIR:K:OFFSET[:SENDINGS]" as --flip, --drop and --double take it (DIR read or upgrade;
// SENDINGS as 2, 1-3 or 1,3; default 1); false on anything else.
bool ParseByteFault(const std::string& text, Damage damage, ByteFault& fault);

// How often each block has been sent so far, either way.
struct BlockSendings {
  std::map<std::uint32_t, unsigned> read;
  std::map<std::uint32_t, unsigned> upgrade;
};

// Faults a real line or box can show, chosen per run.
struct ReceiverOptions {
  int variant = 0;  // 0 to 15: the kind of receiver, and so its flash size
  Bytes flash;      // its flash; empty: made from seed, every block different
  unsigned seed = 1;
  bool controlBytes = false;  // a made flash is rich in the bytes a tty treats specially

  bool silent = false;                       // never answers
  std::optional<comm::Frame> replyOverride;  // answers these 12 bytes instead of its frame
  unsigned replyDelayMs = 0;                 // answers this late
  Bytes extraAfterReply;                     // sends these bytes right after each answer
  unsigned replyPieces = 1;                  // splits each answer into this many pieces
  unsigned pieceGapMs = 0;                   // ... this far apart

  // Faults of a read.
  int cutBlock = -1;          // this block goes out short ...
  unsigned cutBytes = 0;      // ... by this many bytes
  int pauseBeforeBlock = -1;  // this block goes out late ...
  unsigned pauseMs = 0;       // ... by this much
  bool ignoreEchoes = false;  // sends every block at once, without waiting for echoes

  // Upgrades, and their faults.
  bool goAheadWithReport = true;  // go-ahead: its variant report frame, else a "go on" reply
  int replyChoice = -1;           // which of its three "go on" replies: -1 takes turns
  bool otherSet = false;          // answers blocks with the other product lines' replies
  int silentAfterBlock = -1;      // no answer to this block or any later one
  int reportAtBlock = -1;         // answers this block with its variant report frame
  bool glueReplies = false;       // sends every answer twice in one go

  // What is left to the receiver: answering CMD_READ_DONE, and key frames, with its
  // acknowledgement.
  bool answerReadDone = false;
  bool answerKeys = false;

  // The line goes dead (as when a USB serial adapter is pulled) after this block of a read
  // has been sent or this block of an upgrade has been taken.
  int hangUpAfterBlock = -1;
  bool hangUpInRead = true;  // the block of a read, and of an upgrade, may end the line
  bool hangUpInUpgrade = true;
  // The line goes dead once this many reads have ended (CMD_READ_DONE), as when a receiver
  // restarts late and its USB adapter, powered by it, goes with it; 0: never.
  unsigned hangUpAfterReads = 0;

  // Noise on the blocks that cross the line.
  std::vector<ByteFault> byteFaults;

  // After the CMD_STOP that ends a complete upgrade, the receiver saves and restarts: it
  // takes in nothing and answers nothing (RestartRequested) until Restart().
  bool restartAfterUpgrade = false;
};

// Bytes to send, delayMs after the previous emission (the first: after the frame arrived).
struct Emission {
  unsigned delayMs = 0;
  Bytes bytes;
  std::string name = "REPLY";  // for the timeline: what went out
  bool hangUpAfter = false;    // the line goes dead once these bytes are out
};

// A whole frame the receiver took from the line, with the name the log gives it.
struct ReceivedFrame {
  comm::Frame bytes{};
  std::string name;
};

class ReceiverModel {
 public:
  explicit ReceiverModel(ReceiverOptions options = {});

  // Takes bytes from the line; appends the frames it recognised and returns its answers.
  std::vector<Emission> Receive(const std::uint8_t* data, std::size_t count,
                                std::vector<ReceivedFrame>& frames);

  // Bytes that are not (yet) part of a frame, and those dropped as noise so far.
  std::size_t PendingBytes() const { return pending_.size(); }
  std::size_t DroppedBytes() const { return dropped_; }

  const Bytes& Flash() const { return options_.flash; }
  // Whether the line should go dead now (after an upgrade block).
  bool HangUpRequested() const { return hangUpRequested_; }
  // The line went dead: whatever exchange was going on is over, and a receiver that comes
  // back works normally.
  void LineLost();
  std::uint32_t BlockCount() const;
  // The blocks of the read or upgrade under way sent or taken so far; 0 between them.
  std::uint32_t BlocksMoved() const {
    return reading_ ? nextBlock_ : upgrading_ ? blocksTaken_ : 0;
  }

  // Whether it is restarting after an upgrade; Restart() brings it up again, ready for a new
  // exchange, with the flash it holds.
  bool RestartRequested() const { return restartRequested_; }
  void Restart();

  // Block sendings so far; a receiver on the same line after another goes on counting.
  const BlockSendings& Sendings() const { return sendings_; }
  void ContinueSendings(const BlockSendings& sendings) { sendings_ = sendings; }

 private:
  // The damage a block's sending takes at one byte.
  struct Hit {
    std::uint32_t offset = 0;
    bool flip = false;
    bool drop = false;
    bool twice = false;
  };
  std::vector<Hit> HitsFor(Direction direction, std::uint32_t block, unsigned sending) const;
  std::vector<Emission> Answer(const comm::Frame& frame);
  std::vector<Emission> Reply(Bytes bytes) const;
  Emission Block(std::uint32_t index);
  // Takes one upgrade block from the front of pending_ at start; false while incomplete.
  bool TakeUpgradeBlock(std::size_t& start, std::vector<ReceivedFrame>& frames,
                        std::vector<Emission>& out);
  // Passes the line's bytes for the upgrade block at start through their damage, until the
  // block is full or the bytes run out.
  void DamageUpgradeBlock(std::size_t start);
  void ForgetUpgradeBlock();
  comm::Frame GoOnReply(std::uint32_t block) const;

  ReceiverOptions options_;
  Bytes pending_;
  std::size_t dropped_ = 0;
  bool reading_ = false;
  std::uint32_t nextBlock_ = 0;
  bool upgrading_ = false;
  std::uint32_t blocksTaken_ = 0;
  unsigned readsDone_ = 0;
  bool hangUpRequested_ = false;
  bool upgradeComplete_ = false;  // every block taken, the stop not yet
  bool restartRequested_ = false;

  BlockSendings sendings_;
  // The upgrade block being taken: its sending (0: none begun), its damage, the next of it,
  // the line bytes it has had and the bytes at its start in pending_ that are past the damage.
  unsigned blockSending_ = 0;
  std::vector<Hit> blockHits_;
  std::size_t nextHit_ = 0;
  std::size_t blockLineBytes_ = 0;
  std::size_t blockReady_ = 0;
};

// A flash image of the variant's size in which every block differs. With controlBytes,
// every third byte is one a tty treats specially (XON, XOFF, CR, LF, ^C, ^D, ^Z, DEL, 0xFF).
Bytes MakeFlash(int variant, unsigned seed, bool controlBytes = false);

// "CMD_CONNECT", "KEY 0x15", "VARIANT_ECHO 6", ... for a frame the computer sent.
std::string FrameName(const comm::Frame& frame);
std::string Hex(const std::uint8_t* data, std::size_t count);
// Bytes from hex digits (blanks allowed); false on anything else.
bool ParseHex(const std::string& text, Bytes& bytes);

}  // namespace sim
