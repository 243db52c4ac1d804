// The remote-control panel under the headless host, its port a real pty behind COMn: what
// the receiver would get for every key button and every PC key.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/control_panel_dialog.h"
#include "app/port_config.h"
#include "link/serial_port.h"
#include "remote/remote_panel_dialog.h"
#include "tests/support/sim_line.h"
#include "ui/headless/headless_host.h"

namespace {

// The configuration's port index, as the program's start-up holds it for its dialogs.
std::int32_t configured = 0;

using ui::HeadlessWindow;

constexpr int kPanel = 141;
constexpr int kCapture = 1076;

// A key frame as the receiver sees it: "EvilEyEs" 'G' code 'A' 'N'.
std::string KeyFrameBytes(std::uint8_t code) {
  return std::string("EvilEyEsG") + static_cast<char>(code) + "AN";
}

class RemotePanel : public testing::Test {
 protected:
  RemotePanel() {
    ports_.Map(1, com1_.Path());
    configured = 0;
  }
  int Run() {
    remote::RemotePanelDialog panel(configured);
    return panel.DoModal();
  }

  vltest::PortMap ports_;
  vltest::BarePty com1_;
  ui::HeadlessHost host_;
};

TEST_F(RemotePanel, EveryKeyButtonSendsItsFrame) {
  // Button, caption and the code the receiver expects for it.
  const struct {
    int id;
    const char* caption;
    std::uint8_t code;
  } buttons[] = {
      {1080, "POWER⊙", 0x18},   {1081, "INFO", 0x1B},   {1082, "PAUSE", 0x09},
      {1083, "TEXT", 0x01},     {1084, "UHF", 0x0B},    {1085, "FAV▲", 0x0D},
      {1086, "FAV▼", 0x0C},     {1087, "FAV", 0x1C},    {1088, "AUDIO", 0x1A},
      {1089, "MUTE", 0x00},     {1090, "CH▲", 0x02},    {1091, "OK", 0x06},
      {1092, "VOL-->", 0x05},   {1093, "<--VOL", 0x07}, {1094, "CH▼", 0x0A},
      {1095, "MENU", 0x1D},     {1096, "EXIT", 0x03},   {1097, "RECALL", 0x08},
      {1098, "TV/RADIO", 0x19}, {1099, "SAT/TV", 0x04}, {1100, "1", 0x17},
      {1101, "2", 0x16},        {1102, "3", 0x15},      {1103, "4", 0x14},
      {1104, "5", 0x13},        {1105, "6", 0x12},      {1106, "&7", 0x11},
      {1107, "8", 0x10},        {1108, "9", 0x0F},      {1109, "P/N/S", 0x1F},
      {1110, "0", 0x0E},        {1111, "EPG", 0x1E},
  };
  std::string expected;
  for (const auto& button : buttons) {
    host_.Then([&button](HeadlessWindow& panel) {
      EXPECT_EQ(panel.Text(button.id), button.caption) << button.id;
    });
    host_.Click(button.id);
    expected += KeyFrameBytes(button.code);
  }
  host_.Click(2);
  EXPECT_EQ(Run(), 2);
  EXPECT_EQ(com1_.Received(), expected);
  EXPECT_TRUE(host_.Messages().empty());
}

TEST_F(RemotePanel, CaptureBoxMapsPcKeysAndNothingElse) {
  const struct {
    unsigned virtualKey;
    std::optional<std::uint8_t> code;
  } keys[] = {
      {0x0D, 0x06},
      {0x1B, 0x03},
      {0x20, 0x1D},
      {0x25, 0x07},
      {0x26, 0x02},
      {0x27, 0x05},
      {0x28, 0x0A},
      {0x2E, 0x03},
      {0x30, 0x0E},
      {0x31, 0x17},
      {0x32, 0x16},
      {0x33, 0x15},
      {0x34, 0x14},
      {0x35, 0x13},
      {0x36, 0x12},
      {0x37, 0x11},
      {0x38, 0x10},
      {0x39, 0x0F},
      {0x60, 0x0E},
      {0x61, 0x17},
      {0x62, 0x16},
      {0x63, 0x15},
      {0x64, 0x14},
      {0x65, 0x13},
      {0x66, 0x12},
      {0x67, 0x11},
      {0x68, 0x10},
      {0x69, 0x0F},
      // Shift and Ctrl, letters, function keys, Tab, Backspace, Insert, Home: nothing.
      {0x10, std::nullopt},
      {0x11, std::nullopt},
      {0x41, std::nullopt},
      {0x5A, std::nullopt},
      {0x70, std::nullopt},
      {0x7B, std::nullopt},
      {0x09, std::nullopt},
      {0x08, std::nullopt},
      {0x2D, std::nullopt},
      {0x24, std::nullopt},
      {0x6A, std::nullopt},
      {0x00, std::nullopt},
  };
  std::string expected;
  host_.SetFocus(kCapture);
  std::string helpText;
  host_.Then([&helpText](HeadlessWindow& panel) { helpText = panel.Text(kCapture); });
  for (const auto& key : keys) {
    host_.KeyDown(key.virtualKey);
    if (key.code) {
      expected += KeyFrameBytes(*key.code);
    }
  }
  // Shift or Ctrl held: only the digit's own key counts.
  for (unsigned modifier : {0x10u, 0x11u}) {
    host_.KeyDown(modifier);
    host_.KeyDown(0x37);
    expected += KeyFrameBytes(0x11);
  }
  host_.Then([&helpText](HeadlessWindow& panel) {
    EXPECT_FALSE(panel.Ended()) << "Enter or Esc in the box closed the panel";
    EXPECT_EQ(panel.Text(kCapture), helpText);
  });
  host_.Click(2);
  Run();
  EXPECT_EQ(com1_.Received(), expected);
}

TEST_F(RemotePanel, EscOutsideTheBoxClosesAndSendsNothing) {
  host_.Click(1080);
  host_.PressEscape();  // the focus is on the clicked button now
  EXPECT_EQ(Run(), 2);
  EXPECT_EQ(com1_.Received(), KeyFrameBytes(0x18));
}

TEST_F(RemotePanel, EnterOutsideTheBoxDoesNotClose) {
  host_.Click(1095);
  host_.PressEnter();
  host_.Then([](HeadlessWindow& panel) { EXPECT_FALSE(panel.Ended()); });
  host_.CloseBox();
  EXPECT_EQ(Run(), 2);
  EXPECT_EQ(com1_.Received(), KeyFrameBytes(0x1D));
}

TEST_F(RemotePanel, OpensWithItsTitleHelpTextAndPort) {
  host_.Then([](HeadlessWindow& panel) {
    EXPECT_EQ(panel.Caption(), "Vesker  Link 1.0");
    EXPECT_EQ(panel.Text(kCapture),
              "Set the Focus on me！\r\nAnd then Press the key as follow：\r\n\r\n"
              "KEY 'Left'  equal 'VOL left' key\r\nKEY 'Right' equal 'VOL right' key\r\n"
              "KEY 'Up'    equal 'CH up' key\r\nKEY 'Down'  equal 'CH down' key\r\n"
              "KEY 'Space' equal 'MENU' key\r\nKEY 'Enter' equal 'OK' key\r\n"
              "KEY 'Esc' or 'Delete' equal 'EXIT' key\r\n");
    EXPECT_TRUE(panel.SmallIconOnly());
    EXPECT_TRUE(panel.Centered());
    EXPECT_TRUE(panel.IsChecked(1070));
  });
  host_.Click(2);
  Run();
}

TEST_F(RemotePanel, PortIndexTwoOpensComThree) {
  vltest::BarePty com3;
  ports_.Map(3, com3.Path());
  configured = 2;
  host_.Then([](HeadlessWindow& panel) { EXPECT_TRUE(panel.IsChecked(1074)); });
  host_.Click(1091);
  host_.Click(2);
  Run();
  EXPECT_EQ(com3.Received(), KeyFrameBytes(0x06));
  EXPECT_EQ(com1_.Received(50), "");
}

TEST_F(RemotePanel, MissingPortIsReportedOnceAndThePanelStaysUsable) {
  configured = 2;  // no COM3
  host_.Click(1091);
  host_.Click(1070);
  host_.Click(1091);
  host_.Click(2);
  Run();
  ASSERT_EQ(host_.Messages().size(), 1u);
  EXPECT_EQ(host_.Messages()[0].text, "open port3 error!");
  EXPECT_EQ(host_.Messages()[0].caption, "Vesker  Link 1.0");
  EXPECT_EQ(host_.Messages()[0].ownerTemplate, kPanel);
  EXPECT_EQ(com1_.Received(), KeyFrameBytes(0x06)) << "only the key after choosing COM1";
  EXPECT_EQ(configured, 0);
}

// A port beyond COM4 (chosen in Communication Setup) opens as it is, the radio buttons clear;
// one the system does not have is reported as COM1 to COM4 are; no port at all opens nothing.
// Clicking "Com 1" then moves the keys there.
TEST_F(RemotePanel, PortIndexBeyondTheRadiosOpensThatPortWithNoRadioChosen) {
  vltest::BarePty com7;
  ports_.Map(7, com7.Path());
  const struct {
    std::int32_t index;
    std::string com7Gets;
    std::vector<std::string> messages;
  } cases[] = {
      {6, KeyFrameBytes(0x00), {}},
      {7, "", {"open port8 error!"}},  // no COM8
      {-1, "", {}},
  };
  for (const auto& c : cases) {
    ui::HeadlessHost host;
    configured = c.index;
    host.Then([](HeadlessWindow& panel) {
      for (int id : {1070, 1071, 1074, 1075}) {
        EXPECT_FALSE(panel.IsChecked(id));
      }
    });
    host.Click(1089);
    host.Click(1070);
    host.Click(1089);
    host.Click(2);
    Run();
    std::vector<std::string> messages;
    for (const ui::Event& e : host.Messages()) {
      messages.push_back(e.text);
    }
    EXPECT_EQ(messages, c.messages) << c.index;
    EXPECT_EQ(com7.Received(), c.com7Gets) << c.index;
    EXPECT_EQ(com1_.Received(), KeyFrameBytes(0x00)) << c.index;
    EXPECT_EQ(configured, 0);
  }
}

TEST_F(RemotePanel, FailedSwitchClosesTheOldPortAndKeepsTheNewChoice) {
  host_.Click(1075);  // no COM4
  host_.Click(1089);
  host_.Then([](HeadlessWindow&) {
    comm::SerialPort other;
    EXPECT_EQ(other.Open(1, 115200), 1) << "COM1 must have been closed";
  });
  host_.Click(2);
  Run();
  ASSERT_EQ(host_.Messages().size(), 1u);
  EXPECT_EQ(host_.Messages()[0].text, "open port4 error!");
  EXPECT_EQ(configured, 3);
  EXPECT_EQ(com1_.Received(50), "");
}

TEST_F(RemotePanel, ReplacesTheControlPanelAndClosesItsPort) {
  host_.Click(1078);
  host_.Then([this](HeadlessWindow& panel) {
    EXPECT_EQ(panel.TemplateId(), kPanel);
    EXPECT_EQ(panel.OwnerTemplate(), 0) << "a top-level window of its own";
    EXPECT_FALSE(host_.Running().front()->Visible()) << "the Control Panel is hidden";
  });
  host_.Click(2);
  host_.Then([](HeadlessWindow& controlPanel) {
    EXPECT_EQ(controlPanel.TemplateId(), 140);
    EXPECT_TRUE(controlPanel.Visible());
    comm::SerialPort again;
    EXPECT_EQ(again.Open(1, 115200), 1) << "closing the panel closes its port";
  });
  host_.PressEscape();
  app::ControlPanelDialog controlPanel(configured);
  controlPanel.DoModal();
}

}  // namespace
