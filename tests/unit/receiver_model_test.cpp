// The simulated receiver's model: which frames it recognises and what it answers.
#include "sim/receiver_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

using comm::Frame;
using sim::Bytes;

Bytes Of(const Frame& frame) {
  return Bytes(frame.begin(), frame.end());
}

std::vector<sim::Emission> Feed(sim::ReceiverModel& model, const Bytes& bytes,
                                std::vector<std::string>& names) {
  std::vector<sim::ReceivedFrame> frames;
  auto out = model.Receive(bytes.data(), bytes.size(), frames);
  for (const auto& frame : frames) {
    names.push_back(frame.name);
  }
  return out;
}

TEST(ReceiverModel, AcknowledgesConnectAndAnswersNothingElse) {
  sim::ReceiverModel model;
  std::vector<std::string> names;
  auto out = Feed(model, Of(comm::CommandFrame(comm::CMD_CONNECT)), names);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes, Of(comm::AckFrame));
  EXPECT_EQ(out[0].delayMs, 0u);
  EXPECT_TRUE(Feed(model, Of(comm::CommandFrame(comm::CMD_STOP)), names).empty());
  EXPECT_TRUE(Feed(model, Of(comm::KeyFrame(0x15)), names).empty());
  EXPECT_TRUE(Feed(model, Of(comm::VariantReportFrame(5)), names).empty());
  EXPECT_EQ(names,
            (std::vector<std::string>{"CMD_CONNECT", "CMD_STOP", "KEY 0x15", "VARIANT_ECHO 6"}));
}

TEST(ReceiverModel, FindsFramesAcrossPiecesAndAfterNoise) {
  sim::ReceiverModel model;
  std::vector<std::string> names;
  Bytes stream = {0x00, 0x5A, 0xFF, 0x13};  // noise, including a false start
  const Bytes connect = Of(comm::CommandFrame(comm::CMD_CONNECT));
  stream.insert(stream.end(), connect.begin(), connect.end());
  std::size_t answers = 0;
  for (std::uint8_t byte : stream) {
    answers += Feed(model, Bytes{byte}, names).size();
  }
  EXPECT_EQ(names, std::vector<std::string>{"CMD_CONNECT"});
  EXPECT_EQ(answers, 1u);
  EXPECT_EQ(model.DroppedBytes(), 4u);
  EXPECT_EQ(model.PendingBytes(), 0u);
}

TEST(ReceiverModel, FaultOptionsShapeTheAnswer) {
  sim::ReceiverOptions options;
  options.replyDelayMs = 700;
  options.extraAfterReply = {0xAB};
  options.replyPieces = 3;
  options.pieceGapMs = 20;
  options.replyOverride = comm::CommandFrame(0x42);
  sim::ReceiverModel model(options);
  std::vector<std::string> names;
  auto out = Feed(model, Of(comm::CommandFrame(comm::CMD_CONNECT)), names);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].delayMs, 700u);
  EXPECT_EQ(out[1].delayMs, 20u);
  Bytes joined;
  for (const auto& piece : out) {
    EXPECT_FALSE(piece.bytes.empty());
    joined.insert(joined.end(), piece.bytes.begin(), piece.bytes.end());
  }
  Bytes expected = Of(comm::CommandFrame(0x42));
  expected.push_back(0xAB);
  EXPECT_EQ(joined, expected);

  options.silent = true;
  sim::ReceiverModel silent(options);
  EXPECT_TRUE(Feed(silent, Of(comm::CommandFrame(comm::CMD_CONNECT)), names).empty());
}

// A variant 0 flash (256 blocks) in which byte O of block K is (base + K + O) & 0xFF, so that a
// byte's value tells where it came from.
Bytes Numbered(std::uint8_t base) {
  Bytes flash(256 * 4096);
  for (std::size_t i = 0; i < flash.size(); ++i) {
    flash[i] = static_cast<std::uint8_t>(base + i / 4096 + i % 4096);
  }
  return flash;
}

sim::ReceiverOptions WithFaults(const std::vector<std::pair<sim::Damage, std::string>>& faults) {
  sim::ReceiverOptions options;
  options.flash = Numbered(0x00);
  for (const auto& [damage, text] : faults) {
    sim::ByteFault fault;
    EXPECT_TRUE(sim::ParseByteFault(text, damage, fault)) << text;
    options.byteFaults.push_back(fault);
  }
  return options;
}

using sim::Damage;

TEST(ReceiverModel, NoiseOnReadBlocksHitsTheGivenSendings) {
  const Bytes clean = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};  // block 1, bytes 0 to 5
  struct Row {
    const char* name;
    std::vector<std::pair<Damage, std::string>> faults;
    std::size_t from;         // where the bytes below begin in block 1 as it went out
    std::vector<Bytes> seen;  // there, in its first, second and third sendings
    std::vector<std::size_t> sizes;
  } rows[] = {
      {"flip, first sending by default",
       {{Damage::kFlip, "read:1:3"}},
       0,
       {{0x01, 0x02, 0x03, 0x05, 0x05, 0x06}, clean, clean},
       {4096, 4096, 4096}},
      {"drop in the second sending",
       {{Damage::kDrop, "read:1:2:2"}},
       0,
       {clean, {0x01, 0x02, 0x04, 0x05, 0x06, 0x07}, clean},
       {4096, 4095, 4096}},
      {"double in sendings 1 and 3",
       {{Damage::kDouble, "read:1:0:1,3"}},
       0,
       {{0x01, 0x01, 0x02, 0x03, 0x04, 0x05}, clean, {0x01, 0x01, 0x02, 0x03, 0x04, 0x05}},
       {4097, 4096, 4097}},
      {"another flip in each sending",
       {{Damage::kFlip, "read:1:0:1"},
        {Damage::kFlip, "read:1:1:2"},
        {Damage::kFlip, "read:1:2:3"}},
       0,
       {{0x00, 0x02, 0x03, 0x04, 0x05, 0x06},
        {0x01, 0x03, 0x03, 0x04, 0x05, 0x06},
        {0x01, 0x02, 0x02, 0x04, 0x05, 0x06}},
       {4096, 4096, 4096}},
      {"the last byte doubled in sendings 1-2",
       {{Damage::kDouble, "read:1:4095:1-2"}},
       4090,
       {{0xFB, 0xFC, 0xFD, 0xFE, 0xFF, 0x00, 0x00},
        {0xFB, 0xFC, 0xFD, 0xFE, 0xFF, 0x00, 0x00},
        {0xFB, 0xFC, 0xFD, 0xFE, 0xFF, 0x00}},
       {4097, 4097, 4096}},
      {"another block, the other way",
       {{Damage::kFlip, "read:2:0"}, {Damage::kDrop, "upgrade:1:0"}},
       0,
       {clean, clean, clean},
       {4096, 4096, 4096}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sim::ReceiverModel model(WithFaults(row.faults));
    std::vector<std::string> names;
    for (std::size_t sending = 0; sending < 3; ++sending) {
      // Each read: block 0 comes with the report, its echo asks for block 1.
      Feed(model, Of(comm::CommandFrame(comm::CMD_READ_START)), names);
      const auto out = Feed(model, Of(comm::VariantReportFrame(0)), names);
      Feed(model, Of(comm::CommandFrame(comm::CMD_READ_DONE)), names);
      ASSERT_EQ(out.size(), 1u);
      const Bytes& block = out[0].bytes;
      EXPECT_EQ(block.size(), row.sizes[sending]) << "sending " << sending + 1;
      const std::size_t end = std::min(block.size(), row.from + row.seen[sending].size());
      EXPECT_EQ(Bytes(block.begin() + static_cast<std::ptrdiff_t>(row.from),
                      block.begin() + static_cast<std::ptrdiff_t>(end)),
                row.seen[sending])
          << "sending " << sending + 1;
    }
  }
}

TEST(ReceiverModel, NoiseOnUpgradeBlocksReachesTheFlash) {
  // The upgrade's image: byte O of block K is (0x80 + K + O) & 0xFF; the flash before it has
  // (K + O) & 0xFF.
  const Bytes image = Numbered(0x80);
  struct Row {
    const char* name;
    std::vector<std::pair<Damage, std::string>> faults;
    int upgrades;  // each sends blocks 0 to 2; all but the last end with CMD_STOP
    std::vector<std::pair<std::size_t, Bytes>> flash;  // the flash at these places after it
    std::size_t answers;                               // go-on replies to the last upgrade's blocks
    std::size_t pending;  // bytes the receiver holds for a block it has not finished
  } rows[] = {
      {"flip, not in the first sending",
       {{Damage::kFlip, "upgrade:1:3:2"}},
       1,
       {{4096, {0x81, 0x82, 0x83, 0x84, 0x85, 0x86}}},
       3,
       0},
      {"flip in the second sending",
       {{Damage::kFlip, "upgrade:1:3:2"}},
       2,
       {{4096, {0x81, 0x82, 0x83, 0x85, 0x85, 0x86}}, {8192, {0x82, 0x83, 0x84}}},
       3,
       0},
      {"drop: the block ends a line byte later, and waits for it",
       {{Damage::kDrop, "upgrade:1:2"}},
       1,
       {{4096, {0x81, 0x82, 0x84, 0x85, 0x86, 0x87}},
        {4096 + 4093, {0x7F, 0x80, 0x82}},  // the last byte is block 2's first
        {8192, {0x02, 0x03, 0x04}}},        // block 2 is not taken yet
       2,
       4095},
      {"double: the block's last line byte begins the next",
       {{Damage::kDouble, "upgrade:1:2"}},
       1,
       {{4096, {0x81, 0x82, 0x83, 0x83, 0x84, 0x85}},
        {4096 + 4094, {0x7E, 0x7F}},
        {8192, {0x80, 0x82, 0x83}}},
       3,
       1},
      {"the last byte doubled: the copy begins the next block",
       {{Damage::kDouble, "upgrade:1:4095"}},
       1,
       {{4096 + 4094, {0x7F, 0x80}}, {8192, {0x80, 0x82, 0x83}}},
       3,
       1},
      {"a read fault leaves upgrades alone",
       {{Damage::kDrop, "read:1:2"}},
       1,
       {{4096, {0x81, 0x82, 0x83, 0x84, 0x85, 0x86}}},
       3,
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sim::ReceiverModel model(WithFaults(row.faults));
    std::vector<std::string> names;
    std::size_t answers = 0;
    for (int upgrade = 1; upgrade <= row.upgrades; ++upgrade) {
      ASSERT_EQ(Feed(model, Of(comm::CommandFrame(comm::CMD_UPGRADE_START)), names).size(), 1u);
      answers = 0;
      for (std::size_t block = 0; block < 3; ++block) {
        answers += Feed(model,
                        Bytes(image.begin() + static_cast<std::ptrdiff_t>(block * 4096),
                              image.begin() + static_cast<std::ptrdiff_t>(block * 4096 + 4096)),
                        names)
                       .size();
      }
      if (upgrade < row.upgrades) {
        Feed(model, Of(comm::CommandFrame(comm::CMD_STOP)), names);
      }
    }
    for (const auto& [at, bytes] : row.flash) {
      EXPECT_EQ(Bytes(model.Flash().begin() + static_cast<std::ptrdiff_t>(at),
                      model.Flash().begin() + static_cast<std::ptrdiff_t>(at + bytes.size())),
                bytes)
          << "at " << at;
    }
    EXPECT_EQ(answers, row.answers);
    EXPECT_EQ(model.PendingBytes(), row.pending);
  }
}

TEST(ReceiverModel, RestartsAfterTheStopThatEndsACompleteUpgrade) {
  const Bytes image = Numbered(0x80);
  struct Row {
    const char* name;
    bool restart;        // --restart given
    std::size_t blocks;  // blocks sent (256: all; fewer: then a stop cancels it)
    bool restarts;       // the stop starts a restart
  } rows[] = {
      {"complete upgrade", true, 256, true},
      {"without --restart", false, 256, false},
      {"a stop after a cancelled upgrade", true, 255, false},
  };
  const Bytes connect = Of(comm::CommandFrame(comm::CMD_CONNECT));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sim::ReceiverOptions options;
    options.flash = Numbered(0x00);
    options.restartAfterUpgrade = row.restart;
    sim::ReceiverModel model(options);
    std::vector<std::string> names;
    Feed(model, Of(comm::CommandFrame(comm::CMD_UPGRADE_START)), names);
    Feed(model,
         Bytes(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(row.blocks * 4096)),
         names);
    if (row.blocks < 256) {
      Feed(model, Of(comm::CommandFrame(comm::CMD_STOP)), names);
    }
    // A stop, and a connection test right behind it.
    Bytes stopThenConnect = Of(comm::CommandFrame(comm::CMD_STOP));
    stopThenConnect.insert(stopThenConnect.end(), connect.begin(), connect.end());
    names.clear();
    const auto out = Feed(model, stopThenConnect, names);
    EXPECT_EQ(model.RestartRequested(), row.restarts);
    if (!row.restarts) {
      EXPECT_EQ(names, (std::vector<std::string>{"CMD_STOP", "CMD_CONNECT"}));
      EXPECT_EQ(out.size(), 1u);
      continue;
    }
    EXPECT_EQ(names, std::vector<std::string>{"CMD_STOP"});
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(Feed(model, connect, names).empty()) << "answers while restarting";
    EXPECT_EQ(names, std::vector<std::string>{"CMD_STOP"}) << "takes in while restarting";
    model.Restart();
    ASSERT_EQ(Feed(model, connect, names).size(), 1u);
    EXPECT_EQ(model.Flash(), image);
  }
}

TEST(ReceiverModel, ByteFaultsParseOnlyWhole) {
  sim::ByteFault fault;
  for (const char* bad : {"read:1", "write:1:2", "read:1:4096", "read:1:2:0", "read:1:2:3-2",
                          "read:1:2:1,", "read:-1:2", "upgrade:1:2:1:2", "read:1:2:x"}) {
    EXPECT_FALSE(sim::ParseByteFault(bad, Damage::kFlip, fault)) << bad;
  }
}

TEST(ReceiverModel, HexOptionsParse) {
  Bytes bytes;
  EXPECT_TRUE(sim::ParseHex("5A 76:69", bytes));
  EXPECT_EQ(bytes, (Bytes{0x5A, 0x76, 0x69}));
  EXPECT_FALSE(sim::ParseHex("5A7", bytes));
  EXPECT_FALSE(sim::ParseHex("zz", bytes));
}

}  // namespace
