// Upgrade Receiver Software under the headless host: loading and checking the file, and the
// transfer into the simulated receiver on a pty, its flash compared byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "link/frames.h"
#include "romimage/receiver_variant_table.h"
#include "tests/support/limits.h"
#include "tests/support/sim_line.h"
#include "tests/support/ticks.h"
#include "transfer/upgrade_dialog.h"
#include "ui/headless/headless_host.h"

namespace {

using Names = std::vector<std::string>;
using ui::HeadlessWindow;
using namespace std::chrono_literals;
using std::string_literals::operator""s;

constexpr int kUpgrade = 171;

// A ROM image file: the tag of tagVariant, then blocks that differ from any simulator flash.
std::string RomFile(int tagVariant, std::size_t size, unsigned seed = 5) {
  std::string file(size, '\0');
  std::uint32_t state = seed * 747796405u + 1u;
  for (char& c : file) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  std::memcpy(file.data(), romimage::ReceiverVariantTable[tagVariant].imageTag,
              std::min<std::size_t>(20, size));
  return file;
}

std::size_t FileSize(int variant) {
  return romimage::ReceiverVariantTable[variant].FileLength();
}

Names Blocks(std::size_t count, const Names& tail) {
  Names names = {"CMD_UPGRADE_START"};
  for (std::size_t k = 0; k < count; ++k) {
    names.push_back("BLOCK " + std::to_string(k));
  }
  names.insert(names.end(), tail.begin(), tail.end());
  return names;
}

class Upgrade : public testing::Test {
 protected:
  std::string Rom() const { return dir_ / "rom.bin"; }
  int Run(const std::string& path, std::int32_t portIndex = 0) {
    transfer::UpgradeDialog upgrade(path, portIndex);
    return upgrade.DoModal();
  }
  std::vector<std::string> MessageTexts() const {
    std::vector<std::string> texts;
    for (const auto& event : host_.Messages()) {
      EXPECT_EQ(event.caption, "Vesker  Link 1.0");
      EXPECT_EQ(event.ownerTemplate, kUpgrade);
      texts.push_back(event.text);
    }
    return texts;
  }

  vltest::TempDir dir_;
  vltest::PortMap ports_;
  ui::HeadlessHost host_;
};

TEST_F(Upgrade, BadFilesAreRefusedBeforeThePortIsTouched) {
  vltest::SimulatedReceiver receiver(ports_, 1);
  const struct {
    const char* name;
    std::string bytes;
    std::string message;
  } cases[] = {
      {"one byte short", RomFile(0, 1048595), "file size error！"},
      {"one byte long", RomFile(0, 1048597), "file size error！"},
      {"empty", "", "file size error！"},
      {"2 MiB tag in a 1 MiB file", RomFile(1, 1048596), "file size error！"},
      {"tag off by one byte",
       [] {
         std::string f = RomFile(0, 1048596);
         f[19] = '2' + 1;
         return f;
       }(),
       "file data error！"},
      {"tag in other case",
       [] {
         std::string f = RomFile(8, 1048596);
         f[13] = 'h';
         return f;
       }(),
       "file data error！"},
  };
  for (const auto& c : cases) {
    vltest::WriteBytes(Rom(), c.bytes);
    EXPECT_EQ(Run(Rom()), 2) << c.name;
  }
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    expected.push_back(c.message);
  }
  // Nothing that is not a regular file is opened or waited for (a FIFO would wait for a
  // writer for ever, and opening a device may act on it). A writer waiting at the FIFO would
  // be let through by any reader that opened it, however briefly.
  const std::string fifo = dir_ / "fifo.bin";
  const std::string folder = dir_ / "folder.bin";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directory(folder);
  std::atomic<bool> writerThrough{false};
  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    writerThrough = true;
    ::close(fd);
  });
  std::this_thread::sleep_for(100ms);  // the writer waits at the FIFO by now
  for (const std::string& path : {dir_ / "no such file.bin", fifo, folder}) {
    Run(path);
    expected.push_back("Open file<" + path + "> error！");
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(writerThrough) << "the FIFO was opened";
  ::close(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));  // lets a waiting writer go
  writer.join();
  EXPECT_EQ(MessageTexts(), expected);
  EXPECT_TRUE(receiver.FrameNames().empty()) << "nothing may reach the receiver";
}

// A file that cannot be held in memory, or that another program cuts short while it is read,
// is not taken: nothing reaches the receiver, and only the short read has a message.
TEST_F(Upgrade, AFileThatCannotBeLoadedWholeSendsNothing) {
  vltest::BarePty line;
  ports_.Map(1, line.Path());
  vltest::WriteBytes(Rom(), RomFile(1, FileSize(1)));
#if !defined(__SANITIZE_ADDRESS__)  // its allocator does not run out of memory gently
  // In a fresh run of this program, whose heap holds no room freed by earlier tests.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        transfer::UpgradeDialog upgrade(Rom(), 0);
        int result = 0;
        {
          const vltest::ScarceMemory scarce;
          result = upgrade.DoModal();
        }
        std::fprintf(stderr, "ended %d, %zu messages", result, host_.Messages().size());
        std::exit(result == 2 && upgrade.Outcome().ending == comm::Outcome::Ending::kNoMemory &&
                          host_.Messages().empty()
                      ? 0
                      : 1);
      },
      testing::ExitedWithCode(0), "");
#endif
  const vltest::ShrinksWhenRead shrinks(Rom(), 1000000);
  if (!shrinks.Armed()) {
    GTEST_SKIP() << "no right to watch the file system";
  }
  Run(Rom());
  EXPECT_EQ(MessageTexts(), std::vector<std::string>{"read file data error！"});
  EXPECT_EQ(line.Received(), "") << "the port was never opened";
}

TEST_F(Upgrade, MissingPortIsReportedAndNothingSent) {
  vltest::WriteBytes(Rom(), RomFile(0, FileSize(0)));
  Run(Rom(), 2);
  EXPECT_EQ(MessageTexts(), std::vector<std::string>{"open port3 error!"});
}

TEST_F(Upgrade, FlashesEachVariantByteForByte) {
  for (int variant : {0, 5, 15}) {
    sim::ReceiverOptions options;
    options.variant = variant;
    vltest::SimulatedReceiver receiver(ports_, 1, options);
    const std::string rom = RomFile(variant, FileSize(variant), static_cast<unsigned>(variant));
    vltest::WriteBytes(Rom(), rom);
    const std::uint32_t blocks = romimage::ReceiverVariantTable[variant].blockCount;
    vltest::PumpTicks(host_, receiver, 20000);
    host_.Then([blocks](HeadlessWindow& dialog) {
      const std::string total = std::to_string(blocks);
      const auto texts = dialog.TextHistory(1087);
      ASSERT_EQ(texts.size(), blocks + 2u);
      EXPECT_EQ(texts[0], "0/0 blocks");
      EXPECT_EQ(texts[1], "0/" + total + " blocks");
      EXPECT_EQ(texts[blocks], std::to_string(blocks - 1) + "/" + total + " blocks");
      EXPECT_EQ(texts.back(), total + "/" + total + " blocks");
      EXPECT_EQ(dialog.Progress(1057), 100);
      EXPECT_EQ(dialog.ProgressHistory()[blocks - 1], 99) << "100 only at completion";
      EXPECT_EQ(dialog.Text(2), "Close");
      EXPECT_TRUE(dialog.ItemVisible(1093));
      EXPECT_TRUE(dialog.RunningTimers().empty());
      // Each block redraws the bar and the text; only the end redraws more: the button, the
      // notice, and then the whole dialog.
      std::vector<int> repaints;
      for (std::uint32_t i = 0; i < blocks + 2; ++i) {
        repaints.insert(repaints.end(), {1057, 1087});
      }
      repaints.insert(repaints.end(), {2, 1093, 0});
      EXPECT_EQ(dialog.Repaints(), repaints);
    });
    host_.Advance(1000);
    host_.Click(2);  // Close
    EXPECT_EQ(Run(Rom()), 2);
    EXPECT_TRUE(host_.Messages().empty());
    EXPECT_EQ(receiver.FrameNames(), Blocks(blocks, {"CMD_STOP"})) << "Close sends nothing";
    const sim::Bytes& flash = receiver.FlashWhenStopped();
    ASSERT_EQ(flash.size(), rom.size() - 20);
    EXPECT_EQ(std::memcmp(flash.data(), rom.data() + 20, flash.size()), 0) << variant;
  }
}

TEST_F(Upgrade, BlocksBeyondTheTagsCountAreNeverSent) {
  vltest::SimulatedReceiver receiver(ports_, 1);  // variant 0: 256 blocks
  const std::string rom = RomFile(0, 2097172);
  vltest::WriteBytes(Rom(), rom);
  vltest::PumpTicks(host_, receiver, 20000);
  host_.Click(2);
  Run(Rom());
  EXPECT_EQ(receiver.FrameNames(), Blocks(256, {"CMD_STOP"}));
  EXPECT_EQ(std::memcmp(receiver.FlashWhenStopped().data(), rom.data() + 20, 1048576), 0);
}

// Which replies each product line's receivers give to go on, written out as the receivers
// send them: every accepted one releases the next block, and every one of the other set ends
// the upgrade with the line's message and CMD_STOP.
struct ReplySetRow {
  const char* line;
  int fileVariant;
  std::vector<std::string> accepted;  // bytes 8 to 11 after "ZvilEyEs"
  std::vector<std::string> refused;
  std::string message;
};

void PrintTo(const ReplySetRow& row, std::ostream* out) {
  *out << row.line;
}

class ReplySet : public Upgrade, public testing::WithParamInterface<ReplySetRow> {};

TEST_P(ReplySet, AcceptsItsOwnLinesRepliesAndRefusesTheOthers) {
  const ReplySetRow& row = GetParam();
  vltest::BarePty line;
  ports_.Map(1, line.Path());
  const std::string rom = RomFile(row.fileVariant, FileSize(row.fileVariant));
  vltest::WriteBytes(Rom(), rom);
  const std::string frame = "ZvilEyEs";
  for (const std::string& refused : row.refused) {
    ui::HeadlessHost host;
    vltest::LineScript script;
    std::string expected = frame + std::string("\x00\x99\x00\x00", 4);
    for (std::size_t k = 0; k < row.accepted.size(); ++k) {
      script[static_cast<int>(k) + 1] = frame + row.accepted[k];
      expected += rom.substr(20 + k * 4096, 4096);
    }
    script[static_cast<int>(row.accepted.size()) + 1] = frame + refused;
    expected += frame + std::string("\x00\x02\x00\x00", 4);
    std::string wire;
    vltest::ScriptTicks(host, line, script, 10, wire);
    transfer::UpgradeDialog(Rom(), 0).DoModal();
    wire += line.Received(100);
    ASSERT_EQ(host.Messages().size(), 1u) << row.line;
    EXPECT_EQ(host.Messages()[0].text, row.message) << row.line;
    EXPECT_TRUE(wire == expected) << row.line << ": " << wire.size() << " bytes on the wire";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReplySet,
    testing::Values(ReplySetRow{"Fta",
                                0,
                                {"\x00\x00\x00\x00"s, "\x11\x11\x00\x00"s, "\x00\xAA\x00\x00"s,
                                 "\x10\x01\x00\x00"s},
                                {"\x00\xF0\x00\x00"s, "\x00\xF2\x00\x00"s, "\x00\xFF\x00\x00"s},
                                "no answer F！"},
                    ReplySetRow{"CI",
                                6,
                                {"\x00\xF0\x00\x00"s, "\x00\xF2\x00\x00"s, "\x00\xFF\x00\x00"s,
                                 "\x10\x07\x00\x00"s},
                                {"\x00\x00\x00\x00"s, "\x11\x11\x00\x00"s, "\x00\xAA\x00\x00"s},
                                "no answer C！"},
                    ReplySetRow{"HCI",
                                9,
                                {"\x00\xFF\x00\x00"s, "\x10\x0A\x00\x00"s, "\x00\xF2\x00\x00"s,
                                 "\x00\xF0\x00\x00"s},
                                {"\x00\x00\x00\x00"s, "\x11\x11\x00\x00"s, "\x00\xAA\x00\x00"s},
                                "no answer C！"},
                    ReplySetRow{"T",
                                14,
                                {"\x00\xAA\x00\x00"s, "\x10\x0F\x00\x00"s, "\x11\x11\x00\x00"s,
                                 "\x00\x00\x00\x00"s},
                                {"\x00\xF0\x00\x00"s, "\x00\xF2\x00\x00"s, "\x00\xFF\x00\x00"s},
                                "no answer F！"}),
    [](const testing::TestParamInfo<ReplySetRow>& param) { return std::string(param.param.line); });

TEST_F(Upgrade, OwnReportMidwayAndSplitOrGluedRepliesLetTheNextBlockGo) {
  sim::ReceiverOptions options;
  options.variant = 4;
  options.reportAtBlock = 10;
  options.replyPieces = 2;
  options.pieceGapMs = 60;  // the halves arrive on different ticks
  options.goAheadWithReport = false;
  options.glueReplies = true;
  vltest::SimulatedReceiver receiver(ports_, 1, options);
  const std::string rom = RomFile(4, FileSize(4));
  vltest::WriteBytes(Rom(), rom);
  vltest::PumpTicks(host_, receiver, 30000);
  host_.Click(2);
  Run(Rom());
  EXPECT_TRUE(host_.Messages().empty());
  EXPECT_EQ(receiver.FrameNames(), Blocks(256, {"CMD_STOP"}));
  EXPECT_EQ(std::memcmp(receiver.FlashWhenStopped().data(), rom.data() + 20, 1048576), 0);
}

TEST_F(Upgrade, CancelMidwayAndEnterSendNothing) {
  vltest::SimulatedReceiver receiver(ports_, 1);
  vltest::WriteBytes(Rom(), RomFile(0, FileSize(0)));
  vltest::PumpTicks(host_, receiver, 10);
  host_.PressEnter();
  host_.Then([](HeadlessWindow& dialog) { EXPECT_FALSE(dialog.Ended()); });
  host_.PressEscape();
  Run(Rom());
  const Names frames = receiver.FrameNames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames, Blocks(frames.size() - 1, {})) << "no CMD_STOP after Cancel";
  EXPECT_TRUE(host_.Messages().empty());
}

TEST(VersionMismatch, NamesBothVersions) {
  EXPECT_EQ(transfer::VersionMismatchText(0, 4),
            "software version incorrect！\r\npls send below information to your provider！"
            "\r\n\r\n\"error version <Fta 29 1> to <CI 29 1>\"");
}

}  // namespace
