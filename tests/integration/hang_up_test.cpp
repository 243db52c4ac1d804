// The line going dead in the middle of a transfer (a USB serial adapter pulled out): the
// program times out with its message, writes no file, and works again once the receiver is
// back on a new line.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "romimage/receiver_variant_table.h"
#include "tests/support/sim_line.h"
#include "tests/support/ticks.h"
#include "transfer/read_software_dialog.h"
#include "transfer/upgrade_dialog.h"
#include "ui/headless/headless_host.h"

namespace {

using namespace std::chrono_literals;

class HangUp : public testing::Test {
 protected:
  // Runs one dialog to its end against the receiver; returns the messages it showed.
  template <typename Dialog>
  std::vector<std::string> RunOnce(Dialog& dialog) {
    ui::HeadlessHost host;
    host.AnswerFileDialog(dir_ / "rom.bin");
    vltest::PumpTicks(host, *receiver_);
    host.PressEscape();  // closes a finished upgrade
    dialog.DoModal();
    std::vector<std::string> texts;
    for (const ui::Event& event : host.Messages()) {
      texts.push_back(event.text);
    }
    return texts;
  }
  // Not by its link: a stale one may meet another test's new pty of the same number.
  void WaitForReturn() { ASSERT_TRUE(receiver_->WaitForReturn()); }

  vltest::TempDir dir_;
  vltest::PortMap ports_;
  std::unique_ptr<vltest::SimulatedReceiver> receiver_;
};

TEST_F(HangUp, DuringAReadNoFileIsLeftAndTheNextReadWorks) {
  sim::ReceiverOptions options;
  options.hangUpAfterBlock = 3;
  receiver_ = std::make_unique<vltest::SimulatedReceiver>(ports_, 1, options);
  receiver_->ReturnAfter(500);
  {
    transfer::ReadSoftwareDialog read(0);
    EXPECT_EQ(RunOnce(read), std::vector<std::string>{"no answer！"});
  }
  EXPECT_EQ(receiver_->HangUps(), 1);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "rom.bin"));
  WaitForReturn();
  {
    transfer::ReadSoftwareDialog read(0);
    EXPECT_TRUE(RunOnce(read).empty());
  }
  const std::string file = vltest::ReadBytes(dir_ / "rom.bin");
  ASSERT_EQ(file.size(), 1048596u);
  EXPECT_EQ(std::memcmp(file.data() + 20, receiver_->Flash().data(), 1048576), 0);
}

TEST_F(HangUp, DuringAnUpgradeTheNextUpgradeCompletes) {
  sim::ReceiverOptions options;
  options.hangUpAfterBlock = 5;
  receiver_ = std::make_unique<vltest::SimulatedReceiver>(ports_, 1, options);
  receiver_->ReturnAfter(500);
  std::string rom(1048596, '\0');
  for (std::size_t i = 20; i < rom.size(); ++i) {
    rom[i] = static_cast<char>(i * 13 + i / 4096);
  }
  std::memcpy(rom.data(), romimage::ReceiverVariantTable[0].imageTag, 20);
  vltest::WriteBytes(dir_ / "image.bin", rom);
  {
    transfer::UpgradeDialog upgrade(dir_ / "image.bin", 0);
    EXPECT_EQ(RunOnce(upgrade), std::vector<std::string>{"no answer1！"});
  }
  EXPECT_EQ(receiver_->HangUps(), 1);
  WaitForReturn();
  {
    transfer::UpgradeDialog upgrade(dir_ / "image.bin", 0);
    EXPECT_TRUE(RunOnce(upgrade).empty());
  }
  EXPECT_EQ(std::memcmp(receiver_->FlashWhenStopped().data(), rom.data() + 20, 1048576), 0);
}

}  // namespace
