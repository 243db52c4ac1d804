// Command frames on the wire and the acknowledgement wait, against the simulated receiver.
#include "link/command_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "link/frames.h"
#include "romimage/receiver_variant_table.h"
#include "tests/support/sim_line.h"

namespace {

using std::string_literals::operator""s;
using Names = std::vector<std::string>;

// Every frame on the line, written out by hand, against what the program sends (on the wire)
// and what it recognises. Nothing here is built from the program's own frame definitions.
TEST(Frames, EveryFrameOfTheLineAsLiteralBytes) {
  // Replies to go on with an upgrade are no reports; which product line gives which is
  // checked through whole upgrades.
  enum Kind { kSent, kEcho, kAck, kReply, kReport, kKey };
  const struct {
    const char* name;
    Kind kind;
    int value;  // the command code, the variant, or the key code
    const char* hex;
  } frames[] = {
      {"CMD_CONNECT", kSent, comm::CMD_CONNECT, "5A 76 69 6C 45 79 45 73 00 10 00 00"},
      {"CMD_STOP", kSent, comm::CMD_STOP, "5A 76 69 6C 45 79 45 73 00 02 00 00"},
      {"CMD_READ_START", kSent, comm::CMD_READ_START, "5A 76 69 6C 45 79 45 73 00 97 00 00"},
      {"CMD_READ_DONE", kSent, comm::CMD_READ_DONE, "5A 76 69 6C 45 79 45 73 00 01 00 00"},
      {"CMD_UPGRADE_START", kSent, comm::CMD_UPGRADE_START, "5A 76 69 6C 45 79 45 73 00 99 00 00"},
      {"AckFrame", kAck, 0, "5A 76 69 6C 45 79 45 73 00 00 00 00"},
      {"go on 11 11", kReply, 0, "5A 76 69 6C 45 79 45 73 11 11 00 00"},
      {"go on AA", kReply, 0, "5A 76 69 6C 45 79 45 73 00 AA 00 00"},
      {"go on F0", kReply, 0, "5A 76 69 6C 45 79 45 73 00 F0 00 00"},
      {"go on F2", kReply, 0, "5A 76 69 6C 45 79 45 73 00 F2 00 00"},
      {"go on FF", kReply, 0, "5A 76 69 6C 45 79 45 73 00 FF 00 00"},
      {"report 0 Fta AMD 1", kReport, 0, "5A 76 69 6C 45 79 45 73 10 01 00 00"},
      {"report 1 Fta AMD 2", kReport, 1, "5A 76 69 6C 45 79 45 73 10 02 00 00"},
      {"report 2 Fta SST 1", kReport, 2, "5A 76 69 6C 45 79 45 73 10 03 00 00"},
      {"report 3 Fta SST 2", kReport, 3, "5A 76 69 6C 45 79 45 73 10 04 00 00"},
      {"report 4 CI AMD 1", kReport, 4, "5A 76 69 6C 45 79 45 73 10 05 00 00"},
      {"report 5 CI AMD 2", kReport, 5, "5A 76 69 6C 45 79 45 73 10 06 00 00"},
      {"report 6 CI SST 1", kReport, 6, "5A 76 69 6C 45 79 45 73 10 07 00 00"},
      {"report 7 CI SST 2", kReport, 7, "5A 76 69 6C 45 79 45 73 10 08 00 00"},
      {"report 8 HCI AMD 1", kReport, 8, "5A 76 69 6C 45 79 45 73 10 09 00 00"},
      {"report 9 HCI AMD 2", kReport, 9, "5A 76 69 6C 45 79 45 73 10 0A 00 00"},
      {"report 10 HCI SST 1", kReport, 10, "5A 76 69 6C 45 79 45 73 10 0B 00 00"},
      {"report 11 HCI SST 2", kReport, 11, "5A 76 69 6C 45 79 45 73 10 0C 00 00"},
      {"report 12 T AMD 1", kReport, 12, "5A 76 69 6C 45 79 45 73 10 0D 00 00"},
      {"report 13 T AMD 2", kReport, 13, "5A 76 69 6C 45 79 45 73 10 0E 00 00"},
      {"report 14 T SST 1", kReport, 14, "5A 76 69 6C 45 79 45 73 10 0F 00 00"},
      {"report 15 T SST 2", kReport, 15, "5A 76 69 6C 45 79 45 73 10 10 00 00"},
      {"echo of variant 5", kEcho, 5, "5A 76 69 6C 45 79 45 73 10 06 00 00"},
      {"echo of variant 15", kEcho, 15, "5A 76 69 6C 45 79 45 73 10 10 00 00"},
      {"key MUTE", kKey, 0x00, "45 76 69 6C 45 79 45 73 47 00 41 4E"},
      {"key &7", kKey, 0x11, "45 76 69 6C 45 79 45 73 47 11 41 4E"},
      {"key P/N/S", kKey, 0x1F, "45 76 69 6C 45 79 45 73 47 1F 41 4E"},
  };
  vltest::PortMap ports;
  vltest::BarePty pty;
  ports.Map(1, pty.Path());
  comm::CommandPort port;
  ASSERT_EQ(port.Open(1, 115200), 1);
  for (const auto& f : frames) {
    sim::Bytes bytes;
    ASSERT_TRUE(sim::ParseHex(f.hex, bytes) && bytes.size() == 12) << f.name;
    comm::Frame frame{};
    std::copy(bytes.begin(), bytes.end(), frame.begin());
    const std::string wire(bytes.begin(), bytes.end());
    const int report = romimage::MatchVariantReport(frame.data());
    switch (f.kind) {
      case kSent:
        port.SendCommand(static_cast<std::uint8_t>(f.value));
        EXPECT_EQ(pty.Received(), wire) << f.name;
        break;
      case kEcho:  // as the read answers each block
        port.SendCommand(static_cast<std::uint8_t>(f.value + 1), comm::VARIANT_REPORT);
        EXPECT_EQ(pty.Received(), wire) << f.name;
        break;
      case kKey:
        EXPECT_EQ(comm::KeyFrame(static_cast<std::uint8_t>(f.value)), frame) << f.name;
        break;
      case kAck:  // what the connection test waits for
        EXPECT_EQ(comm::AckFrame, frame);
        break;
      case kReply:
      case kReport:
        break;
    }
    EXPECT_EQ(report, f.kind == kReport || f.kind == kEcho ? f.value : -1) << f.name;
  }
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
