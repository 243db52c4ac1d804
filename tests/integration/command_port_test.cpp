// Command frames on the wire and the acknowledgement wait, against the simulated receiver.
#include "link/command_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "link/frames.h"
#include "tests/support/sim_line.h"

namespace {

using std::string_literals::operator""s;
using Names = std::vector<std::string>;

TEST(SendCommand, WritesTheFrameWithTheCodeAfterTheQualifier) {
  vltest::PortMap ports;
  vltest::BarePty pty;
  ports.Map(1, pty.Path());
  comm::CommandPort port;
  ASSERT_EQ(port.Open(1, 115200), 1);
  EXPECT_EQ(port.SendCommand(0x97, 0, 0, 0), 12);
  EXPECT_EQ(pty.Received(), "\x5A\x76\x69\x6C\x45\x79\x45\x73\x00\x97\x00\x00"s);
  port.SendCommand(6, comm::VARIANT_REPORT);  // the echo of variant 5
  EXPECT_EQ(pty.Received(), "\x5A\x76\x69\x6C\x45\x79\x45\x73\x10\x06\x00\x00"s);
}

struct AckCase {
  const char* name;
  sim::ReceiverOptions receiver;
  int result;
  int minMs, maxMs;
  Names frames;
};

void PrintTo(const AckCase& c, std::ostream* out) {
  *out << c.name;
}

sim::ReceiverOptions Options(void (*change)(sim::ReceiverOptions&)) {
  sim::ReceiverOptions options;
  change(options);
  return options;
}

class WaitAck : public testing::TestWithParam<AckCase> {};

TEST_P(WaitAck, AcceptsExactlyTheAcknowledgementInTime) {
  const AckCase& c = GetParam();
  vltest::PortMap ports;
  vltest::SimulatedReceiver receiver(ports, 1, c.receiver);
  comm::CommandPort port;
  ASSERT_EQ(port.Open(1, 115200), 1);
  port.SendCommand(comm::CMD_CONNECT);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.WaitAck(), c.result);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  EXPECT_GE(ms, c.minMs);
  EXPECT_LE(ms, c.maxMs);
  EXPECT_EQ(receiver.FrameNames(), c.frames);
}

const comm::Frame kNotAck = {0x45, 0x76, 0x69, 0x6C, 0x45, 0x79, 0x45, 0x73, 0, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Replies, WaitAck,
    testing::Values(AckCase{"at_once", {}, 1, 0, 500, {"CMD_CONNECT"}},
                    AckCase{"after_1500_ms",
                            Options([](auto& o) { o.replyDelayMs = 1500; }),
                            1,
                            1400,
                            1900,
                            {"CMD_CONNECT"}},
                    AckCase{"in_three_pieces",
                            Options([](auto& o) {
                              o.replyPieces = 3;
                              o.pieceGapMs = 100;
                            }),
                            1,
                            150,
                            1000,
                            {"CMD_CONNECT"}},
                    AckCase{"never",
                            Options([](auto& o) { o.silent = true; }),
                            0,
                            1900,
                            3000,
                            {"CMD_CONNECT", "CMD_STOP"}},
                    AckCase{"with_one_more_byte",
                            Options([](auto& o) { o.extraAfterReply = {0x00}; }),
                            0,
                            1900,
                            3000,
                            {"CMD_CONNECT", "CMD_STOP"}},
                    AckCase{"other_12_bytes",
                            Options([](auto& o) { o.replyOverride = kNotAck; }),
                            0,
                            0,
                            500,
                            {"CMD_CONNECT", "CMD_STOP"}}),
    [](const testing::TestParamInfo<AckCase>& param) { return std::string(param.param.name); });

TEST(WaitAckOnTheWire, StopFrameBytesAfterNoReply) {
  vltest::PortMap ports;
  vltest::BarePty pty;
  ports.Map(1, pty.Path());
  comm::CommandPort port;
  ASSERT_EQ(port.Open(1, 115200), 1);
  EXPECT_EQ(port.WaitAck(), 0);
  EXPECT_EQ(pty.Received(), "\x5A\x76\x69\x6C\x45\x79\x45\x73\x00\x02\x00\x00"s);
}

}  // namespace
