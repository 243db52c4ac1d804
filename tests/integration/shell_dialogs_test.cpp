// The application shell under the headless host: start-up, Control Panel, About box and the
// configuration file on a real disk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/about_dialog.h"
#include "app/control_panel_dialog.h"
#include "app/port_config.h"
#include "app/service_app.h"
#include "tests/support/test_files.h"
#include "ui/headless/headless_host.h"

namespace {

// The configuration's port index, as the program's start-up holds it for its dialogs.
std::int32_t configured = 0;

using std::string_literals::operator""s;
using ui::Event;
using ui::HeadlessWindow;

constexpr int kPanel = 140;
constexpr int kAbout = 100;

// Runs the whole program in a folder of its own, with the given script.
class ProgramRun : public testing::Test {
 protected:
  std::string ConfigFile() const { return dir_ / "Pelto.cfg"; }
  int Run() {
    vltest::CurrentDirectory cd(dir_.Path());
    return app::ServiceApp().Run();
  }

  vltest::TempDir dir_;
  ui::HeadlessHost host_;
};

TEST_F(ProgramRun, ControlPanelShowsTheTitleCentredWithItsIcon) {
  host_.Then([](HeadlessWindow& panel) {
    EXPECT_EQ(panel.TemplateId(), kPanel);
    EXPECT_EQ(panel.Caption(), "Vesker  Link 1.0");
    EXPECT_EQ(panel.Text(1111), "Vesker  Link 1.0 Control Panel");
    EXPECT_TRUE(panel.IconSet());
    EXPECT_TRUE(panel.Centered());
    EXPECT_EQ(panel.OwnerTemplate(), 0);
  });
  host_.PressEscape();
  EXPECT_EQ(Run(), 0);
}

TEST_F(ProgramRun, EnterDoesNothingAndEscClosesAndSaves) {
  host_.PressEnter();
  host_.PressEnter();
  host_.Then([](HeadlessWindow& panel) { EXPECT_FALSE(panel.Ended()); });
  host_.PressEscape();
  Run();
  EXPECT_TRUE(host_.Messages().empty());
  EXPECT_EQ(vltest::ReadBytes(ConfigFile()), "\0\0\0\0"s);
}

TEST_F(ProgramRun, EveryWayOutSavesTheConfiguration) {
  const struct {
    const char* how;
    void (*close)(ui::HeadlessHost&);
  } ways[] = {
      {"Exit", [](ui::HeadlessHost& h) { h.Click(2); }},
      {"Esc", [](ui::HeadlessHost& h) { h.PressEscape(); }},
      {"close box", [](ui::HeadlessHost& h) { h.CloseBox(); }},
  };
  for (const auto& way : ways) {
    vltest::WriteBytes(ConfigFile(), "\x03\0\0\0\xAA\xBB"s);
    way.close(host_);
    Run();
    EXPECT_EQ(vltest::ReadBytes(ConfigFile()), "\x03\0\0\0"s) << way.how;
  }
}

TEST_F(ProgramRun, PortIndexOutOfRangeIsKeptUnchanged) {
  vltest::WriteBytes(ConfigFile(), "\x07\0\0\0"s);
  host_.Click(2);
  Run();
  EXPECT_EQ(vltest::ReadBytes(ConfigFile()), "\x07\0\0\0"s);
}

// Each button opens its own dialog over the panel, one at a time; a cancelled file choice
// opens no upgrade.
TEST_F(ProgramRun, EachButtonOpensItsDialogOverThePanel) {
  host_.AnswerFileDialog(std::nullopt);  // the read's Save As
  host_.AnswerFileDialog(std::nullopt);  // the upgrade's Open
  host_.Click(1106);
  host_.PressEscape();
  host_.Click(1108);
  host_.Click(1107);
  host_.Click(3);
  host_.PressEscape();
  host_.PressEscape();
  Run();
  std::vector<std::vector<int>> seen;  // kind, template, owner
  for (const Event& event : host_.Transcript()) {
    seen.push_back(
        {event.kind, event.kind == Event::kDialogShown ? event.result : 0, event.ownerTemplate});
  }
  const int shown = Event::kDialogShown;
  const int ended = Event::kDialogEnded;
  EXPECT_EQ(seen, (std::vector<std::vector<int>>{{shown, 140, 0},
                                                 {shown, 175, 140},
                                                 {ended, 0, 175},
                                                 {shown, 172, 140},
                                                 {Event::kSaveFile, 0, 172},
                                                 {ended, 0, 172},
                                                 {Event::kOpenFile, 0, 140},
                                                 {shown, 100, 140},
                                                 {ended, 0, 100},
                                                 {ended, 0, 140}}));
  const Event& ask = host_.Transcript()[6];
  EXPECT_EQ(ask.request.title, "open rom(*.bin) file");
  EXPECT_EQ(ask.request.filter, "rom image file(*.bin)|*.bin||");
  EXPECT_EQ(ask.request.initialName, "rom.bin");
  EXPECT_EQ(ask.request.defaultExtension, std::nullopt);
  EXPECT_TRUE(ask.request.mustExist);
  EXPECT_TRUE(ask.request.overwritePrompt);
}

TEST_F(ProgramRun, LongCurrentDirectoryKeepsItsConfigurationFile) {
  std::filesystem::path deep = dir_.Path();
  while (deep.string().size() < 1500) {
    deep /= "a-rather-long-folder-name-for-a-test";
  }
  std::filesystem::create_directories(deep);
  vltest::CurrentDirectory cd(deep);
  host_.PressEscape();
  app::ServiceApp().Run();
  EXPECT_EQ(vltest::ReadBytes((deep / "Pelto.cfg").string()), "\0\0\0\0"s);
}

TEST_F(ProgramRun, AboutBoxShowsNameVersionAndDateOverThePanel) {
  host_.Click(3);
  host_.Then([](HeadlessWindow& about) {
    EXPECT_EQ(about.TemplateId(), kAbout);
    EXPECT_EQ(about.OwnerTemplate(), kPanel);
    EXPECT_EQ(about.Caption(), "About Vesker  Link 1.0");
    EXPECT_EQ(about.Text(1085), "Vesker  Link 1.0    version 1.0");
    const std::string date = about.Text(1086);
    EXPECT_NE(date.find("2004-12-10"), std::string::npos) << date;
    EXPECT_EQ(date.find('\n'), std::string::npos);
  });
  host_.Click(1);
  host_.Then([](HeadlessWindow& panel) { EXPECT_EQ(panel.TemplateId(), kPanel); });
  host_.PressEscape();
  Run();
  EXPECT_TRUE(host_.Messages().empty());
}

TEST(AboutBox, EnterEscAndTheCloseBoxEachCloseIt) {
  const struct {
    const char* how;
    void (*close)(ui::HeadlessHost&);
    int result;
  } ways[] = {
      {"OK", [](ui::HeadlessHost& h) { h.Click(1); }, 1},
      {"Enter", [](ui::HeadlessHost& h) { h.PressEnter(); }, 1},
      {"Esc", [](ui::HeadlessHost& h) { h.PressEscape(); }, 2},
      {"close box", [](ui::HeadlessHost& h) { h.CloseBox(); }, 2},
  };
  for (const auto& way : ways) {
    ui::HeadlessHost host;
    way.close(host);
    app::AboutDialog about;
    EXPECT_EQ(about.DoModal(), way.result) << way.how;
  }
}

TEST(HeadlessHost, ARunWithoutScriptEndsInsteadOfHanging) {
  ui::HeadlessHost host;
  app::ControlPanelDialog panel(configured);
  EXPECT_EQ(panel.DoModal(), -1);
  EXPECT_EQ(host.Transcript().back().kind, Event::kDialogEnded);
  EXPECT_EQ(host.Transcript()[1].kind, Event::kStalled);
}

}  // namespace
