// Every wait of a read and an upgrade, pinned on the host's ticks against a line the test
// writes: the tick before a limit still succeeds and the limit fails, with the exact message
// at the exact moment and the exact bytes on the wire; partial data never resets a wait, and
// a block taken or written does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/sim_line.h"
#include "tests/support/ticks.h"
#include "transfer/read_software_dialog.h"
#include "transfer/upgrade_dialog.h"
#include "ui/headless/headless_host.h"

namespace {

using std::string_literals::operator""s;

// The frames on the line, written out: "ZvilEyEs" and bytes 8 to 11.
const std::string kReadStart = "ZvilEyEs\x00\x97\x00\x00"s;
const std::string kUpgradeStart = "ZvilEyEs\x00\x99\x00\x00"s;
const std::string kStop = "ZvilEyEs\x00\x02\x00\x00"s;
const std::string kReport0 = "ZvilEyEs\x10\x01\x00\x00"s;  // variant 0, and the echo of it
const std::string kAck = "ZvilEyEs\x00\x00\x00\x00"s;
const std::string kBlock(4096, '\x3C');

// Block k of the upgrade's file: its bytes differ from block to block.
std::string FileBlock(std::size_t k) {
  return std::string(4096, static_cast<char>(0x41 + k));
}

enum class Dialog { kRead, kUpgrade };

struct Row {
  const char* name;
  Dialog dialog;
  vltest::LineScript line;
  std::string message;    // empty: none, and Esc ends the dialog after the script
  unsigned long long at;  // the host's clock when the message shows
  std::string wire;
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

class TimeOut : public testing::TestWithParam<Row> {};

TEST_P(TimeOut, TheTickBeforeTheLimitSucceedsAndTheLimitFails) {
  const Row& row = GetParam();
  vltest::TempDir dir;
  vltest::PortMap ports;
  vltest::BarePty line;
  ports.Map(1, line.Path());
  std::string file = "VESKER_SZ_RomFtaAMD1";
  for (std::size_t k = 0; k < 256; ++k) {
    file += FileBlock(k);
  }
  vltest::WriteBytes(dir / "new.bin", file);

  ui::HeadlessHost host;
  std::string wire;
  host.AnswerFileDialog(dir / "rom.bin");
  vltest::ScriptTicks(host, line, row.line, 70, wire);
  host.PressEscape();
  if (row.dialog == Dialog::kRead) {
    transfer::ReadSoftwareDialog(0).DoModal();
  } else {
    transfer::UpgradeDialog(dir / "new.bin", 0).DoModal();
  }
  wire += line.Received(100);

  if (row.message.empty()) {
    EXPECT_TRUE(host.Messages().empty()) << host.Messages()[0].text;
  } else {
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_EQ(host.Messages()[0].text, row.message);
    EXPECT_EQ(host.Messages()[0].time, row.at);
  }
  EXPECT_TRUE(wire == row.wire) << "the wire differs: " << wire.size() << " bytes, expected "
                                << row.wire.size();
}

// A read's report arrives at tick 1 (at 50 ms), so its block ticks run from 100 ms on: block
// tick k is tick k + 1. Blocks are put on the line in two pieces, as a tty takes no more than
// 4095 bytes at once: the wait counts on through the first.
const std::string kMost = kBlock.substr(0, 4095);
const std::string kLast = kBlock.substr(4095);

INSTANTIATE_TEST_SUITE_P(
    Waits, TimeOut,
    testing::Values(
        // The read's wait for the receiver's report, counted from CMD_READ_START.
        Row{"read_report_at_tick_60", Dialog::kRead, {{60, kReport0}}, "", 0, kReadStart},
        Row{"read_no_report", Dialog::kRead, {}, "no answer2！", 3000, kReadStart + kStop},
        Row{"read_report_in_pieces_by_tick_60",
            Dialog::kRead,
            {{30, kReport0.substr(0, 11)}, {60, kReport0.substr(11)}},
            "",
            0,
            kReadStart},
        Row{"read_report_short_a_byte",
            Dialog::kRead,
            {{30, kReport0.substr(0, 11)}, {61, kReport0.substr(11)}},
            "no answer2！",
            3000,
            kReadStart + kStop},
        // The wait for block 0, from the report on.
        Row{"read_block_at_its_60th_tick",
            Dialog::kRead,
            {{1, kReport0}, {2, kMost}, {61, kLast}},
            "",
            0,
            kReadStart + kReport0},
        Row{"read_block_short_a_byte",
            Dialog::kRead,
            {{1, kReport0}, {2, kMost}, {62, kLast}},
            "no answer！",
            3050,
            kReadStart + kStop},
        // After a block the wait starts again, and a partial next block does not restart it.
        Row{"read_next_block_60_ticks_after_the_last",
            Dialog::kRead,
            {{1, kReport0}, {2, kMost}, {3, kLast}, {4, kMost}, {63, kLast}},
            "",
            0,
            kReadStart + kReport0 + kReport0},
        Row{"read_next_block_short_a_byte",
            Dialog::kRead,
            {{1, kReport0}, {2, kMost}, {3, kLast}, {4, kMost}, {64, kLast}},
            "no answer！",
            3150,
            kReadStart + kReport0 + kStop},
        // The upgrade's wait for the go-ahead, and then for each block's reply.
        Row{"upgrade_go_ahead_at_tick_60",
            Dialog::kUpgrade,
            {{60, kAck}},
            "",
            0,
            kUpgradeStart + FileBlock(0)},
        Row{"upgrade_no_go_ahead",
            Dialog::kUpgrade,
            {},
            "no answer1！",
            3000,
            kUpgradeStart + kStop},
        Row{"upgrade_reply_in_pieces_60_ticks_after_the_block",
            Dialog::kUpgrade,
            {{1, kAck}, {2, kAck.substr(0, 11)}, {61, kAck.substr(11)}},
            "",
            0,
            kUpgradeStart + FileBlock(0) + FileBlock(1)},
        Row{"upgrade_reply_short_a_byte",
            Dialog::kUpgrade,
            {{1, kAck}, {2, kAck.substr(0, 11)}, {62, kAck.substr(11)}},
            "no answer1！",
            3050,
            kUpgradeStart + FileBlock(0) + kStop}),
    [](const testing::TestParamInfo<Row>& param) { return std::string(param.param.name); });

}  // namespace
