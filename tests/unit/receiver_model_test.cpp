// The simulated receiver's model: which frames it recognises and what it answers.
#include "sim/receiver_model.h"

#include <gtest/gtest.h>

#include <string>
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

TEST(ReceiverModel, HexOptionsParse) {
  Bytes bytes;
  EXPECT_TRUE(sim::ParseHex("5A 76:69", bytes));
  EXPECT_EQ(bytes, (Bytes{0x5A, 0x76, 0x69}));
  EXPECT_FALSE(sim::ParseHex("5A7", bytes));
  EXPECT_FALSE(sim::ParseHex("zz", bytes));
}

}  // namespace
