// Every fault a line or a receiver can show, at each exchange: the message the user gets, the
// frames the receiver gets, and what is left on disk.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "link/connect_dialog.h"
#include "link/frames.h"
#include "romimage/receiver_variant_table.h"
#include "tests/support/sim_line.h"
#include "tests/support/ticks.h"
#include "transfer/read_software_dialog.h"
#include "transfer/upgrade_dialog.h"
#include "ui/headless/headless_host.h"

namespace {

enum class Exchange { kConnect, kRead, kUpgrade };
enum class Disk { kNothing, kWholeFile, kUntouched };

struct Row {
  const char* name;
  Exchange exchange;
  void (*fault)(sim::ReceiverOptions&);
  std::string message;  // empty: none
  // The frames the receiver got: first and last, and how many in all (0: any number).
  std::string first, last;
  std::size_t count;
  Disk disk;
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

const comm::Frame kNoise = {0x13, 0x11, 0xFF, 0x00, 0x5A, 0x76, 0x69, 0x6C, 0x45, 0xEE, 0x42, 0x99};

class FaultMatrix : public testing::TestWithParam<Row> {
 protected:
  std::string Target() const { return dir_ / "rom.bin"; }
  vltest::TempDir dir_;
  vltest::PortMap ports_;
};

TEST_P(FaultMatrix, ReportsItsMessageSendsItsFramesAndKeepsTheDisk) {
  const Row& row = GetParam();
  sim::ReceiverOptions options;
  row.fault(options);
  vltest::SimulatedReceiver receiver(ports_, 1, options);
  const bool upgrade = row.exchange == Exchange::kUpgrade;
  std::string rom(romimage::ReceiverVariantTable[0].FileLength(), '\x5A');
  std::memcpy(rom.data(), romimage::ReceiverVariantTable[0].imageTag, 20);
  if (upgrade) {
    vltest::WriteBytes(dir_ / "image.bin", rom);
  }
  vltest::WriteBytes(Target(), "an older image");

  ui::HeadlessHost host;
  if (row.exchange == Exchange::kConnect) {
    host.Advance(200);
    comm::ConnectDialog connect(0);
    connect.DoModal();
  } else {
    host.AnswerFileDialog(Target());
    vltest::PumpTicks(host, receiver);
    host.PressEscape();  // closes a finished upgrade
    if (upgrade) {
      transfer::UpgradeDialog dialog(dir_ / "image.bin", 0);
      dialog.DoModal();
    } else {
      transfer::ReadSoftwareDialog dialog(0);
      dialog.DoModal();
    }
  }

  std::vector<std::string> messages;
  const int owner = row.exchange == Exchange::kConnect ? 176 : upgrade ? 171 : 172;
  for (const ui::Event& event : host.Messages()) {
    messages.push_back(event.text);
    EXPECT_EQ(event.caption, "Vesker  Link 1.0");
    EXPECT_EQ(event.ownerTemplate, owner) << "the dialog that ran the exchange owns its message";
  }
  EXPECT_EQ(messages, row.message.empty() ? std::vector<std::string>()
                                          : std::vector<std::string>{row.message});
  const std::vector<std::string> frames = receiver.FrameNames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front(), row.first);
  EXPECT_EQ(frames.back(), row.last);
  if (row.count != 0) {
    EXPECT_EQ(frames.size(), row.count);
  }
  const std::string target = vltest::ReadBytes(Target());
  switch (row.disk) {
    case Disk::kUntouched:
      EXPECT_EQ(target, "an older image");
      break;
    case Disk::kWholeFile:
      ASSERT_EQ(target.size(), 1048596u);
      EXPECT_EQ(std::memcmp(target.data() + 20, receiver.Flash().data(), 1048576), 0);
      break;
    case Disk::kNothing:
      break;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.Path()),
                          std::filesystem::directory_iterator()),
            upgrade ? 2 : 1)
      << "no temporary file left behind";
}

using O = sim::ReceiverOptions;

INSTANTIATE_TEST_SUITE_P(
    Rows, FaultMatrix,
    testing::Values(
        // The connection test (silence and a wrong reply: WaitAck's and Setup's own tests).
        Row{"connect_split_reply", Exchange::kConnect,
            [](O& o) {
              o.replyPieces = 4;
              o.pieceGapMs = 100;
            },
            "", "CMD_CONNECT", "CMD_CONNECT", 1, Disk::kUntouched},
        Row{"connect_glued_replies", Exchange::kConnect, [](O& o) { o.glueReplies = true; },
            "no answer！", "CMD_CONNECT", "CMD_STOP", 2, Disk::kUntouched},
        Row{"connect_noise_after_reply", Exchange::kConnect,
            [](O& o) {
              o.extraAfterReply = {0x00, 0xFF, 0x13, 0x11};
            },
            "no answer！", "CMD_CONNECT", "CMD_STOP", 2, Disk::kUntouched},
        // The read.
        Row{"read_silence", Exchange::kRead, [](O& o) { o.silent = true; }, "no answer2！",
            "CMD_READ_START", "CMD_STOP", 2, Disk::kUntouched},
        Row{"read_ack_for_report", Exchange::kRead, [](O& o) { o.replyOverride = comm::AckFrame; },
            "no answer1！", "CMD_READ_START", "CMD_STOP", 2, Disk::kUntouched},
        Row{"read_split_report", Exchange::kRead,
            [](O& o) {
              o.replyPieces = 3;
              o.pieceGapMs = 60;
            },
            "", "CMD_READ_START", "CMD_READ_DONE", 258, Disk::kWholeFile},
        // A doubled report or a byte after it shifts every block by that much: bytes are
        // left over after the last block, and no shifted image is written. The last echo
        // and CMD_READ_DONE never go out.
        Row{"read_glued_report", Exchange::kRead, [](O& o) { o.glueReplies = true; },
            "no answer1！", "CMD_READ_START", "CMD_STOP", 257, Disk::kUntouched},
        Row{"read_byte_after_report", Exchange::kRead, [](O& o) { o.extraAfterReply = {0x00}; },
            "no answer1！", "CMD_READ_START", "CMD_STOP", 257, Disk::kUntouched},
        // Whatever the receiver says after CMD_READ_DONE costs nothing.
        Row{"read_done_answered", Exchange::kRead, [](O& o) { o.answerReadDone = true; }, "",
            "CMD_READ_START", "CMD_READ_DONE", 258, Disk::kWholeFile},
        Row{"read_short_block", Exchange::kRead,
            [](O& o) {
              o.cutBlock = 100;
              o.cutBytes = 7;
            },
            "no answer！", "CMD_READ_START", "CMD_STOP", 102, Disk::kUntouched},
        Row{"read_hang_up", Exchange::kRead, [](O& o) { o.hangUpAfterBlock = 3; }, "no answer！",
            "CMD_READ_START", "VARIANT_ECHO 1", 0, Disk::kUntouched},
        // The upgrade.
        Row{"upgrade_silence", Exchange::kUpgrade, [](O& o) { o.silent = true; }, "no answer1！",
            "CMD_UPGRADE_START", "CMD_STOP", 2, Disk::kUntouched},
        Row{"upgrade_noise_for_go_ahead", Exchange::kUpgrade,
            [](O& o) { o.replyOverride = kNoise; }, "no answer F！", "CMD_UPGRADE_START",
            "CMD_STOP", 2, Disk::kUntouched},
        Row{"upgrade_other_set", Exchange::kUpgrade, [](O& o) { o.otherSet = true; },
            "no answer F！", "CMD_UPGRADE_START", "CMD_STOP", 3, Disk::kUntouched},
        Row{"upgrade_other_variant", Exchange::kUpgrade, [](O& o) { o.variant = 15; },
            "software version incorrect！\r\npls send below information to your provider！"
            "\r\n\r\n\"error version <Fta 29 1> to <T 39 2>\"",
            "CMD_UPGRADE_START", "CMD_STOP", 2, Disk::kUntouched},
        Row{"upgrade_glued_replies", Exchange::kUpgrade, [](O& o) { o.glueReplies = true; }, "",
            "CMD_UPGRADE_START", "CMD_STOP", 258, Disk::kUntouched},
        Row{"upgrade_byte_after_each_reply", Exchange::kUpgrade,
            [](O& o) { o.extraAfterReply = {0x42}; }, "", "CMD_UPGRADE_START", "CMD_STOP", 258,
            Disk::kUntouched},
        Row{"upgrade_silent_midway", Exchange::kUpgrade, [](O& o) { o.silentAfterBlock = 40; },
            "no answer1！", "CMD_UPGRADE_START", "CMD_STOP", 43, Disk::kUntouched},
        Row{"upgrade_hang_up", Exchange::kUpgrade, [](O& o) { o.hangUpAfterBlock = 5; },
            "no answer1！", "CMD_UPGRADE_START", "BLOCK 5", 7, Disk::kUntouched}),
    [](const testing::TestParamInfo<Row>& param) { return std::string(param.param.name); });

// A step that throws (memory running out while a message is built) ends with its failure:
// the dialog ends with Cancel, nothing escapes, and the next run works as ever. A handler
// that throws ends its dialog the same way.
TEST(ThrowingSteps, EndTheirDialogAndTheProgramGoesOn) {
  vltest::TempDir dir;
  vltest::PortMap ports;  // no receiver on any port
  std::string rom(romimage::ReceiverVariantTable[0].FileLength(), '\x5A');
  std::memcpy(rom.data(), romimage::ReceiverVariantTable[0].imageTag, 20);
  vltest::WriteBytes(dir / "image.bin", rom);
  const std::function<int(ui::HeadlessHost&)> exchanges[] = {
      [](ui::HeadlessHost& host) {
        host.Advance(200);
        return comm::ConnectDialog(0).DoModal();
      },
      [&dir](ui::HeadlessHost& host) {
        host.AnswerFileDialog(dir / "rom.bin");
        return transfer::ReadSoftwareDialog(0).DoModal();
      },
      [&dir](ui::HeadlessHost&) { return transfer::UpgradeDialog(dir / "image.bin", 0).DoModal(); },
  };
  for (const auto& run : exchanges) {
    ui::HeadlessHost host;
    host.FailMessages(1);
    EXPECT_EQ(run(host), ui::kIdCancel);
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(run(host), ui::kIdCancel);
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_EQ(host.Messages()[0].text, "open port1 error!");
  }

  class ThrowingDialog : public ui::Dialog {
   public:
    ThrowingDialog() : ui::Dialog(176) {}
    bool OnInitDialog() override {
      SetTimer(1, 50);
      return true;
    }
    void OnTimer(int) override { throw std::runtime_error("a handler failed"); }
  };
  ui::HeadlessHost host;
  host.Advance(50);
  EXPECT_EQ(ThrowingDialog().DoModal(), ui::kIdCancel);
}

}  // namespace
