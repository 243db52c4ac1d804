// Communication Setup and "Connect to the receiver" under the headless host, with the
// simulated receiver on a pty behind the chosen COM port.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/port_config.h"
#include "app/port_setup_dialog.h"
#include "link/connect_dialog.h"
#include "link/serial_port.h"
#include "tests/support/sim_line.h"
#include "ui/headless/headless_host.h"

namespace {

// The configuration's port index, as the program's start-up holds it for its dialogs.
std::int32_t configured = 0;

using Names = std::vector<std::string>;
using ui::Event;
using ui::HeadlessWindow;

constexpr int kSetup = 175;
constexpr int kConnect = 176;
constexpr int kRadios[] = {1070, 1071, 1074, 1075};
const char kTitle[] = "Vesker  Link 1.0";

struct Shown {
  std::string text;
  std::string caption;
  int owner;
  bool operator==(const Shown&) const = default;
};

std::vector<Shown> Messages(const ui::HeadlessHost& host) {
  std::vector<Shown> shown;
  for (const Event& e : host.Messages()) {
    shown.push_back({e.text, e.caption, e.ownerTemplate});
  }
  return shown;
}

void PrintTo(const Shown& s, std::ostream* out) {
  *out << '"' << s.text << "\" caption \"" << s.caption << "\" owner " << s.owner;
}

// Runs the setup dialog: select (a radio id, or 0 for none), then OK or Cancel.
int RunSetup(ui::HeadlessHost& host, int select, bool ok) {
  if (select != 0) {
    host.Click(select);
  }
  host.Click(ok ? 1 : 2);
  host.Advance(200);  // the Connect dialog's handshake timer
  app::PortSetupDialog setup(configured);
  return setup.DoModal();
}

class SetupWithReceiver : public testing::Test {
 protected:
  void SetUp() override { configured = 0; }
  vltest::PortMap ports_;
  ui::HeadlessHost host_;
};

TEST_F(SetupWithReceiver, RadioGroupShowsThePortIndex) {
  const struct {
    std::int32_t index;
    int checked;  // 0: none
  } cases[] = {{0, 1070}, {1, 1071}, {2, 1074},       {3, 1075},           {-1, 0},
               {4, 0},    {7, 0},    {2147483647, 0}, {-2147483647 - 1, 0}};
  for (const auto& c : cases) {
    configured = c.index;
    host_.Then([&c](HeadlessWindow& setup) {
      for (int id : kRadios) {
        EXPECT_EQ(setup.IsChecked(id), id == c.checked) << c.index << " radio " << id;
      }
      EXPECT_EQ(setup.Caption(), "Communication Setup");
    });
    host_.Click(2);
    app::PortSetupDialog setup(configured);
    EXPECT_EQ(setup.DoModal(), 2);
    EXPECT_EQ(configured, c.index) << "Cancel keeps the index";
  }
}

TEST_F(SetupWithReceiver, WorkingReceiverConfirmsAndKeepsTheChoice) {
  vltest::SimulatedReceiver receiver(ports_, 2);
  EXPECT_EQ(RunSetup(host_, 1071, true), 1);
  EXPECT_EQ(configured, 1);
  EXPECT_EQ(Messages(host_), (std::vector<Shown>{{"connect ok!", kTitle, kSetup}}));
  EXPECT_EQ(receiver.FrameNames(), Names{"CMD_CONNECT"});
  const HeadlessWindow* connect = host_.LastEnded(kConnect);
  ASSERT_NE(connect, nullptr);
  EXPECT_EQ(connect->OwnerTemplate(), kSetup);
  EXPECT_EQ(connect->Result(), 1);
  EXPECT_EQ(connect->ProgressHistory(), (std::vector<int>{60, 100}));
  EXPECT_EQ(connect->Pauses(), (std::vector<unsigned>{300}));
  EXPECT_FALSE(connect->WaitCursor());
  // The port was closed with the Connect dialog.
  comm::SerialPort again;
  EXPECT_EQ(again.Open(2, 115200), 1);
}

struct FailureCase {
  const char* name;
  int select;
  bool receiverOnCom2;
  sim::ReceiverOptions receiver;
  std::int32_t portIndex;
  std::string message;
  Names frames;
  std::int32_t initialIndex = 1;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
  *out << c.name;
}

class SetupFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(SetupFailure, ShowsOnlyTheConnectDialogsMessageAndStillKeepsTheChoice) {
  const FailureCase& c = GetParam();
  configured = c.initialIndex;
  vltest::PortMap ports;
  std::unique_ptr<vltest::SimulatedReceiver> receiver;
  if (c.receiverOnCom2) {
    receiver = std::make_unique<vltest::SimulatedReceiver>(ports, 2, c.receiver);
  }
  ui::HeadlessHost host;
  EXPECT_EQ(RunSetup(host, c.select, true), 1) << "the setup dialog closes with OK all the same";
  EXPECT_EQ(configured, c.portIndex);
  EXPECT_EQ(Messages(host), (std::vector<Shown>{{c.message, kTitle, kConnect}}));
  EXPECT_EQ(host.LastEnded(kConnect)->Result(), 2);
  if (receiver) {
    EXPECT_EQ(receiver->FrameNames(), c.frames);
  }
}

sim::ReceiverOptions Receiver(void (*change)(sim::ReceiverOptions&)) {
  sim::ReceiverOptions options;
  change(options);
  return options;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SetupFailure,
    testing::Values(FailureCase{"no_device", 1074, false, {}, 2, "open port3 error!", {}},
                    FailureCase{"no_selection", 0, false, {}, -1, "open port0 error!", {}, 9},
                    FailureCase{"silent",
                                1071,
                                true,
                                Receiver([](auto& o) { o.silent = true; }),
                                1,
                                "no answer！",
                                {"CMD_CONNECT", "CMD_STOP"}}),
    [](const testing::TestParamInfo<FailureCase>& param) { return std::string(param.param.name); });

TEST_F(SetupWithReceiver, IndexSevenFromTheFileSelectsNothingAndOkTriesComZero) {
  configured = 7;
  EXPECT_EQ(RunSetup(host_, 0, true), 1);
  EXPECT_EQ(configured, -1);
  EXPECT_EQ(Messages(host_), (std::vector<Shown>{{"open port0 error!", kTitle, kConnect}}));
}

TEST_F(SetupWithReceiver, CancelAfterAnotherChoiceChangesNothingAndConnectsNowhere) {
  vltest::SimulatedReceiver receiver(ports_, 3);
  configured = 0;
  EXPECT_EQ(RunSetup(host_, 1074, false), 2);
  EXPECT_EQ(configured, 0);
  EXPECT_EQ(host_.LastEnded(kConnect), nullptr);
  EXPECT_TRUE(receiver.FrameNames().empty());
}

constexpr int kOtherPort = 1072;

// Ports beyond COM4, as Windows gives USB adapters: the list holds each (a radio button, none),
// and shows the kept port chosen when the system has it; Cancel keeps the index.
TEST_F(SetupWithReceiver, ListHoldsThePortsBeyondComFourWithTheKeptOneChosen) {
  ports_.Map(7, "/dev/null");
  ports_.Map(12, "/dev/null");
  ports_.Map(2, "/dev/null");
  const struct {
    std::int32_t index;
    int checked;  // 0: no radio button
    int listed;   // -1: nothing chosen in the list
  } cases[] = {{6, 0, 0},  {11, 0, 1},  {1, 1071, -1},       {3, 1075, -1},
               {7, 0, -1}, {-1, 0, -1}, {2147483647, 0, -1}, {-2147483647 - 1, 0, -1}};
  for (const auto& c : cases) {
    configured = c.index;
    host_.Then([&c](HeadlessWindow& setup) {
      EXPECT_EQ(setup.ListItems(kOtherPort), (Names{"COM7", "COM12"}));
      EXPECT_TRUE(setup.ItemEnabled(kOtherPort));
      EXPECT_EQ(setup.ListSelection(kOtherPort), c.listed) << c.index;
      for (int id : kRadios) {
        EXPECT_EQ(setup.IsChecked(id), id == c.checked) << c.index << " radio " << id;
      }
    });
    host_.Click(2);
    app::PortSetupDialog setup(configured);
    EXPECT_EQ(setup.DoModal(), 2);
    EXPECT_EQ(configured, c.index) << "Cancel keeps the index";
  }
}

// One choice at a time: the list clears the radio buttons and a radio button the list; OK
// stores the list's port (COM7 is 6) and tests the connection there.
TEST_F(SetupWithReceiver, PortChosenInTheListIsStoredAndConnected) {
  vltest::SimulatedReceiver com7(ports_, 7);
  vltest::SimulatedReceiver com1(ports_, 1);
  configured = 0;
  host_.Choose(kOtherPort, 0);
  host_.Then([](HeadlessWindow& setup) {
    for (int id : kRadios) {
      EXPECT_FALSE(setup.IsChecked(id)) << id;
    }
  });
  host_.Click(1071);
  host_.Then([](HeadlessWindow& setup) { EXPECT_EQ(setup.ListSelection(kOtherPort), -1); });
  host_.Choose(kOtherPort, 0);
  host_.Click(1);
  host_.Advance(200);
  app::PortSetupDialog setup(configured);
  EXPECT_EQ(setup.DoModal(), 1);
  EXPECT_EQ(configured, 6);
  EXPECT_EQ(Messages(host_), (std::vector<Shown>{{"connect ok!", kTitle, kSetup}}));
  EXPECT_EQ(com7.FrameNames(), Names{"CMD_CONNECT"});
  EXPECT_TRUE(com1.FrameNames(0).empty());
}

// With no port beyond COM4 the list says so and cannot be used: its text is no port.
TEST_F(SetupWithReceiver, WithoutPortsBeyondComFourTheListSaysSo) {
  configured = -1;
  host_.Then([](HeadlessWindow& setup) {
    EXPECT_EQ(setup.ListItems(kOtherPort), Names{"none found"});
    EXPECT_EQ(setup.ListSelection(kOtherPort), 0);
    EXPECT_FALSE(setup.ItemEnabled(kOtherPort));
  });
  host_.Choose(kOtherPort, 0);
  EXPECT_EQ(RunSetup(host_, 0, true), 1);
  EXPECT_EQ(configured, -1);
  EXPECT_EQ(Messages(host_), (std::vector<Shown>{{"open port0 error!", kTitle, kConnect}}));
}

TEST(ConnectDialog, EscBeforeTheHandshakeOpensNothing) {
  vltest::PortMap ports;
  vltest::SimulatedReceiver receiver(ports, 1);
  ui::HeadlessHost host;
  host.Advance(150);
  host.PressEscape();
  comm::ConnectDialog connect(0);
  EXPECT_EQ(connect.DoModal(), 2);
  EXPECT_TRUE(host.Messages().empty());
  EXPECT_TRUE(receiver.FrameNames().empty());
}

TEST(ConnectDialog, EnterNeitherEndsItNorStartsASecondHandshake) {
  vltest::PortMap ports;
  vltest::SimulatedReceiver receiver(ports, 1);
  ui::HeadlessHost host;
  host.PressEnter();
  host.Then([](HeadlessWindow& connect) {
    EXPECT_FALSE(connect.Ended());
    EXPECT_EQ(connect.Progress(1057), 60);
    EXPECT_EQ(connect.RunningTimers(), std::vector<int>{1});
  });
  host.Advance(200);
  host.Advance(1000);  // would fire again were the timer not stopped
  comm::ConnectDialog connect(0);
  EXPECT_EQ(connect.DoModal(), 1);
  EXPECT_EQ(receiver.FrameNames(), Names{"CMD_CONNECT"});
}

TEST(ConnectDialog, ExtremePortIndexNamesTheWrappedPortNumber) {
  vltest::PortMap ports;
  ui::HeadlessHost host;
  host.Advance(200);
  comm::ConnectDialog connect(2147483647);
  EXPECT_EQ(connect.DoModal(), 2);
  ASSERT_EQ(host.Messages().size(), 1u);
  EXPECT_EQ(host.Messages()[0].text, "open port-2147483648 error!");
}

}  // namespace
