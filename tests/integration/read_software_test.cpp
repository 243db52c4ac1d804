// Read Receiver Software under the headless host against the simulated receiver on a pty:
// the file on disk, the frames on the wire, the progress shown and every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/frames.h"
#include "tests/support/limits.h"
#include "tests/support/sim_line.h"
#include "tests/support/ticks.h"
#include "transfer/read_software_dialog.h"
#include "ui/headless/headless_host.h"

namespace {

using Names = std::vector<std::string>;
using ui::Event;
using ui::HeadlessWindow;
using namespace std::chrono_literals;
using std::string_literals::operator""s;

constexpr int kRead = 172;

Names Expected(std::size_t echoes, int variant, const Names& tail) {
  Names names = {"CMD_READ_START"};
  names.insert(names.end(), echoes, "VARIANT_ECHO " + std::to_string(variant + 1));
  names.insert(names.end(), tail.begin(), tail.end());
  return names;
}

class ReadSoftware : public testing::Test {
 protected:
  std::string Target() const { return dir_ / "rom.bin"; }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
  int Run(std::int32_t portIndex = 0) {
    transfer::ReadSoftwareDialog read(portIndex);
    return read.DoModal();
  }

  vltest::TempDir dir_;
  vltest::PortMap ports_;
  ui::HeadlessHost host_;
};

TEST_F(ReadSoftware, WholeReadGivesTagAndFlashAndTheExactFrames) {
  for (int variant : {0, 15}) {
    sim::ReceiverOptions options;
    options.variant = variant;
    options.seed = static_cast<unsigned>(variant) + 7;
    vltest::SimulatedReceiver receiver(ports_, 1, options);
    const std::size_t blocks = variant == 0 ? 256 : 512;
    host_.AnswerFileDialog(Target());
    vltest::PumpTicks(host_, receiver);
    EXPECT_EQ(Run(), 2) << "the dialog always ends with Cancel";

    const std::string tag = variant == 0 ? "VESKER_SZ_RomFtaAMD1" : "VESKER_SZ_Rom_T_SST2";
    const std::string file = vltest::ReadBytes(Target());
    ASSERT_EQ(file.size(), 20 + blocks * 4096) << variant;
    EXPECT_EQ(file.substr(0, 20), tag);
    EXPECT_TRUE(std::equal(receiver.Flash().begin(), receiver.Flash().end(),
                           reinterpret_cast<const std::uint8_t*>(file.data()) + 20))
        << "the data part must be the receiver's flash, byte for byte";
    EXPECT_EQ(receiver.FrameNames(), Expected(blocks, variant, {"CMD_READ_DONE"}));
    EXPECT_TRUE(host_.Messages().empty());
    EXPECT_EQ(Files(), std::vector<std::string>{"rom.bin"});

    const HeadlessWindow* dialog = host_.LastEnded(kRead);
    ASSERT_NE(dialog, nullptr);
    const auto texts = dialog->TextHistory(1087);
    ASSERT_EQ(texts.size(), blocks + 1);
    const std::string total = std::to_string(blocks);
    EXPECT_EQ(texts[0], "0/0 blocks");
    EXPECT_EQ(texts[1], "1/" + total + " blocks");
    EXPECT_EQ(texts[2], "2/" + total + " blocks");
    EXPECT_EQ(texts.back(), total + "/" + total + " blocks");
    const auto bar = dialog->ProgressHistory();
    ASSERT_EQ(bar.size(), blocks);
    EXPECT_EQ(bar[1], 0) << "at block 2";
    EXPECT_EQ(bar[2], variant == 0 ? 1 : 0) << "at block 3";
    EXPECT_EQ(bar.back(), 100);
    // Only the bar and the text are drawn again, at the start and after each block.
    std::vector<int> repaints;
    for (std::size_t i = 0; i <= blocks; ++i) {
      repaints.insert(repaints.end(), {1057, 1087});
    }
    EXPECT_EQ(dialog->Repaints(), repaints);
  }
}

TEST_F(ReadSoftware, AsksWhereToSaveAsTheProgramAlwaysHas) {
  host_.AnswerFileDialog(std::nullopt);
  EXPECT_EQ(Run(), 2);
  const Event& ask = host_.Transcript()[1];
  ASSERT_EQ(ask.kind, Event::kSaveFile);
  EXPECT_EQ(ask.request.title, "save as rom(*.bin) file");
  EXPECT_EQ(ask.request.initialName, "rom.bin");
  EXPECT_EQ(ask.request.filter, "rom image file(*.bin)|*.bin||");
  EXPECT_EQ(ask.request.defaultExtension, std::optional<std::string>(""));
  EXPECT_TRUE(ask.request.overwritePrompt);
  EXPECT_TRUE(host_.Messages().empty());
}

TEST_F(ReadSoftware, TakesOneBlockPerTickHoweverMuchIsQueued) {
  sim::ReceiverOptions options;
  options.ignoreEchoes = true;
  vltest::SimulatedReceiver receiver(ports_, 1, options);
  host_.AnswerFileDialog(Target());
  host_.Then([this](HeadlessWindow&) {
    std::this_thread::sleep_for(100ms);  // more than two blocks arrive
    host_.AdvanceNow(50);                // the report
    host_.AdvanceNow(50);                // one block
    host_.AdvanceNow(50);                // the next
  });
  host_.Then([](HeadlessWindow& dialog) {
    EXPECT_EQ(dialog.TextHistory(1087),
              (std::vector<std::string>{"0/0 blocks", "1/256 blocks", "2/256 blocks"}));
  });
  host_.PressEscape();
  Run();
}

TEST_F(ReadSoftware, CancelMidwaySendsNothingAndKeepsTheOldFile) {
  vltest::WriteBytes(Target(), "the old image");
  vltest::SimulatedReceiver receiver(ports_, 1);
  host_.AnswerFileDialog(Target());
  vltest::PumpTicks(host_, receiver, 12);
  host_.PressEnter();  // does nothing
  host_.Then([](HeadlessWindow& dialog) { EXPECT_FALSE(dialog.Ended()); });
  host_.PressEscape();
  Run();
  EXPECT_EQ(vltest::ReadBytes(Target()), "the old image");
  EXPECT_EQ(Files(), std::vector<std::string>{"rom.bin"});
  EXPECT_TRUE(host_.Messages().empty());
  const Names frames = receiver.FrameNames();
  EXPECT_EQ(frames, Expected(frames.size() - 1, 0, {})) << "no CMD_STOP, no CMD_READ_DONE";
}

// The image cannot be held: the receiver is told to stop and the user why. It runs in a fresh
// run of this program, whose heap holds no room freed by earlier tests.
TEST_F(ReadSoftware, NoMemoryForTheImageStopsTheReceiver) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator does not run out of memory gently";
#endif
  vltest::BarePty line;
  ports_.Map(1, line.Path());
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string wire;
        host_.AnswerFileDialog(Target());
        vltest::ScriptTicks(host_, line, {{1, "ZvilEyEs\x10\x02\x00\x00"s}}, 2, wire);
        {
          const vltest::ScarceMemory scarce;
          Run();
        }
        wire += line.Received(100);
        const auto shown = host_.Messages();
        const std::string message = shown.size() == 1 ? shown[0].text : "not one message";
        std::fprintf(stderr, "%s, %zu bytes sent", message.c_str(), wire.size());
        std::exit(message == "alloc memory error！" && shown[0].ownerTemplate == kRead &&
                          wire == "ZvilEyEs\x00\x97\x00\x00ZvilEyEs\x00\x02\x00\x00"s &&
                          Files().empty()
                      ? 0
                      : 1);
      },
      testing::ExitedWithCode(0), "");
}

// The disk fills up as the file is written: after the whole read the user learns which part
// failed, and an older file stays as it was.
TEST_F(ReadSoftware, AFileTheDiskCannotTakeIsReportedAndTheOldOneKept) {
  class FillsTheDiskAtTheEnd : public comm::ProgressListener {
   public:
    explicit FillsTheDiskAtTheEnd(rlim_t room) : room_(room) {}
    void BlocksDone(std::uint32_t done, std::uint32_t count) override {
      if (done == count) {
        full.emplace(room_);  // the file is written on the next tick
      }
    }
    std::optional<vltest::FullDisk> full;

   private:
    rlim_t room_;
  };
  const struct {
    rlim_t room;
    const char* message;
  } cases[] = {{10, "write file error C1!"}, {500000, "write file error!"}};
  for (const auto& c : cases) {
    vltest::WriteBytes(Target(), "the old image");
    sim::ReceiverOptions options;
    options.variant = 4;
    vltest::SimulatedReceiver receiver(ports_, 1, options);
    ui::HeadlessHost host;
    host.AnswerFileDialog(Target());
    vltest::PumpTicks(host, receiver);
    FillsTheDiskAtTheEnd disk(c.room);
    transfer::ReadSoftwareDialog read(0);
    read.SetProgressListener(&disk);
    read.DoModal();
    disk.full.reset();
    ASSERT_EQ(host.Messages().size(), 1u) << c.message;
    EXPECT_EQ(host.Messages()[0].text, c.message);
    EXPECT_EQ(host.Messages()[0].caption, "Vesker  Link 1.0");
    EXPECT_EQ(host.Messages()[0].ownerTemplate, kRead);
    EXPECT_EQ(receiver.FrameNames(), Expected(256, 4, {"CMD_READ_DONE"}));
    EXPECT_EQ(vltest::ReadBytes(Target()), "the old image");
    EXPECT_EQ(Files(), std::vector<std::string>{"rom.bin"});
  }
}

TEST_F(ReadSoftware, UnwritableTargetIsReportedAfterTheWholeRead) {
  std::filesystem::create_directory(Target());  // in the way of the file
  vltest::SimulatedReceiver receiver(ports_, 1);
  host_.AnswerFileDialog(Target());
  vltest::PumpTicks(host_, receiver);
  Run();
  ASSERT_EQ(host_.Messages().size(), 1u);
  EXPECT_EQ(host_.Messages()[0].text, "create file error!");
  EXPECT_EQ(receiver.FrameNames(), Expected(256, 0, {"CMD_READ_DONE"}));
  EXPECT_TRUE(std::filesystem::is_directory(Target()));
}

}  // namespace
