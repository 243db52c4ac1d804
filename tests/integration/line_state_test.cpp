// Real lines: the program's end of the line in the state a new adapter comes up in, or that
// another program left, and an adapter that delivers in packets. The port must set the whole
// line itself, and every transfer must stay byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "link/serial_port.h"
#include "romimage/receiver_variant_table.h"
#include "tests/support/sim_line.h"
#include "tests/support/ticks.h"
#include "transfer/read_software_dialog.h"
#include "transfer/upgrade_dialog.h"
#include "ui/headless/headless_host.h"

namespace {

struct LineRow {
  const char* name;
  sim::LineState state;
  bool packets;  // 62-byte packets, a partial one after 16 ms
};

void PrintTo(const LineRow& row, std::ostream* out) {
  *out << row.name;
}

class LineStates : public testing::TestWithParam<LineRow> {
 protected:
  sim::LineOptions Line() const {
    sim::LineOptions line;
    line.state = GetParam().state;
    if (GetParam().packets) {
      line.packetSizes = {62};
      line.latencyMs = 16;
    }
    return line;
  }
  // A receiver of variant 0 (Fta, 1 MiB: its go-on replies include 0x11 0x11) whose flash is
  // full of bytes a tty treats specially.
  sim::ReceiverOptions Receiver(unsigned seed) const {
    sim::ReceiverOptions options;
    options.seed = seed;
    options.controlBytes = true;
    return options;
  }

  vltest::TempDir dir_;
  vltest::PortMap ports_;
  ui::HeadlessHost host_;
};

TEST_P(LineStates, OpenSetsTheWholeLine) {
  vltest::SimulatedReceiver receiver(ports_, 1, {}, Line());
  comm::SerialPort port;
  ASSERT_EQ(port.Open(1, 115200), 1);
  const termios line = receiver.ProgramEnd();
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u) << "parity, 2 stop bits, RTS/CTS";
  EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ISTRIP | ICRNL | INLCR | IGNCR), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_cc[VMIN], 0);
  EXPECT_EQ(line.c_cc[VTIME], 0);
  EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
  ASSERT_EQ(port.SetBinaryMode(true), 1);
  const termios after = receiver.ProgramEnd();
  EXPECT_EQ(std::memcmp(&after, &line, sizeof(line)), 0) << "binary mode changed the line";
}

TEST_P(LineStates, ReadAndUpgradeAreByteExact) {
  {
    vltest::SimulatedReceiver receiver(ports_, 1, Receiver(3), Line());
    host_.AnswerFileDialog(dir_ / "rom.bin");
    vltest::PumpTicks(host_, receiver);
    transfer::ReadSoftwareDialog(0).DoModal();
    const std::string file = vltest::ReadBytes(dir_ / "rom.bin");
    ASSERT_EQ(file.size(), 20u + receiver.Flash().size())
        << "messages: " << host_.Messages().size();
    EXPECT_TRUE(std::equal(receiver.Flash().begin(), receiver.Flash().end(),
                           reinterpret_cast<const std::uint8_t*>(file.data()) + 20))
        << "the file differs from the receiver's flash";
  }
  const sim::Bytes data = sim::MakeFlash(0, 9, true);
  std::string rom(romimage::ReceiverVariantTable[0].imageTag, 20);
  rom.append(data.begin(), data.end());
  vltest::WriteBytes(dir_ / "new.bin", rom);
  vltest::SimulatedReceiver receiver(ports_, 1, Receiver(4), Line());
  vltest::PumpTicks(host_, receiver);
  transfer::UpgradeDialog upgrade(dir_ / "new.bin", 0);
  upgrade.DoModal();
  EXPECT_TRUE(upgrade.Outcome().Done());
  EXPECT_TRUE(receiver.FlashWhenStopped() == data) << "the receiver's flash differs from the file";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LineStates,
    testing::Values(LineRow{"raw", sim::LineState::kRaw, false},
                    LineRow{"new_adapter", sim::LineState::kNew, false},
                    LineRow{"left_by_another_program", sim::LineState::kLeft, false},
                    LineRow{"raw_in_packets", sim::LineState::kRaw, true},
                    LineRow{"new_adapter_in_packets", sim::LineState::kNew, true},
                    LineRow{"left_in_packets", sim::LineState::kLeft, true}),
    [](const testing::TestParamInfo<LineRow>& param) { return std::string(param.param.name); });

}  // namespace
