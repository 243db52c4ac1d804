// The dialog templates as the resource compiler sees them: ids, kinds, captions, positions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/headless/template_library.h"

namespace {

struct Expected {
  const char* kind;
  const char* text;
  int id;
  int x, y, width, height;
};

void ExpectControls(const ui::DialogTemplate& dialog, const std::vector<Expected>& expected) {
  ASSERT_EQ(dialog.controls.size(), expected.size()) << "template " << dialog.id;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const ui::ControlTemplate& c = dialog.controls[i];
    const Expected& e = expected[i];
    EXPECT_EQ(c.kind, e.kind) << "control " << i;
    EXPECT_EQ(c.text, e.text) << "control " << i;
    EXPECT_EQ(c.id, e.id) << "control " << i;
    EXPECT_EQ((std::vector<int>{c.x, c.y, c.width, c.height}),
              (std::vector<int>{e.x, e.y, e.width, e.height}))
        << "control " << i;
  }
}

const ui::DialogTemplate& Template(int id) {
  const ui::DialogTemplate* dialog = ui::TemplateLibrary::Program().Find(id);
  if (dialog == nullptr) {
    ADD_FAILURE() << "no template " << id;
    static const ui::DialogTemplate none;
    return none;
  }
  return *dialog;
}

TEST(Templates, ControlPanel) {
  const ui::DialogTemplate& panel = Template(140);
  EXPECT_EQ(panel.width, 367);
  EXPECT_EQ(panel.height, 193);
  EXPECT_EQ(panel.fontName, "宋体");
  EXPECT_EQ(panel.fontSize, 9);
  for (const char* style :
       {"WS_POPUP", "WS_CAPTION", "WS_SYSMENU", "WS_MINIMIZEBOX", "DS_MODALFRAME"}) {
    EXPECT_TRUE(panel.HasStyle(style)) << style;
  }
  ExpectControls(panel, {
                            {"LTEXT", "", -1, 15, 13, 337, 162},
                            {"GROUPBOX", "Control Panel", 1111, 23, 21, 323, 136},
                            {"PUSHBUTTON", "&Setup Comm", 1106, 51, 54, 72, 26},
                            {"PUSHBUTTON", "&Keyboard Control", 1078, 51, 102, 72, 26},
                            {"PUSHBUTTON", "&Read Software", 1108, 144, 54, 72, 26},
                            {"PUSHBUTTON", "&Upgrade Software", 1107, 235, 54, 72, 26},
                            {"PUSHBUTTON", "&Exit", 2, 235, 102, 72, 26},
                            {"PUSHBUTTON", "&About", 3, 144, 102, 72, 26},
                        });
  // No button is a tab stop: none takes the focus, so Enter is the dialog's OK and does nothing.
  for (const ui::ControlTemplate& control : panel.controls) {
    EXPECT_FALSE(control.HasStyle("WS_TABSTOP")) << control.text;
  }
}

TEST(Templates, AboutBox) {
  const ui::DialogTemplate& about = Template(100);
  EXPECT_EQ(about.width, 275);
  EXPECT_EQ(about.height, 51);
  EXPECT_EQ(about.fontName, "宋体");
  EXPECT_EQ(about.fontSize, 9);
  EXPECT_FALSE(about.HasStyle("WS_MINIMIZEBOX"));
  ExpectControls(about, {
                            {"ICON", "IDR_MAINFRAME", -1, 11, 12, 20, 20},
                            {"LTEXT", "Vesker  Link 1.0", 1085, 40, 10, 180, 8},
                            {"LTEXT", "Released 2004-12-10", 1086, 40, 25, 165, 8},
                            {"DEFPUSHBUTTON", "OK", 1, 218, 25, 50, 14},
                        });
  EXPECT_TRUE(about.controls[1].HasStyle("SS_NOPREFIX"));
  EXPECT_TRUE(about.controls[3].HasStyle("WS_GROUP"));
}

TEST(Templates, CommunicationSetupAndConnect) {
  const ui::DialogTemplate& setup = Template(175);
  EXPECT_EQ((std::vector<int>{setup.width, setup.height}), (std::vector<int>{195, 121}));
  EXPECT_EQ(setup.caption, "Communication Setup");
  EXPECT_FALSE(setup.HasStyle("WS_SYSMENU"));
  ExpectControls(setup, {
                            {"GROUPBOX", "Select a port", -1, 7, 7, 181, 81},
                            {"AUTORADIOBUTTON", "Com 1", 1070, 19, 23, 36, 10},
                            {"AUTORADIOBUTTON", "Com 2", 1071, 73, 23, 36, 10},
                            {"AUTORADIOBUTTON", "Com 3", 1074, 19, 45, 36, 10},
                            {"AUTORADIOBUTTON", "Com 4", 1075, 73, 44, 36, 10},
                            {"ICON", "IDR_MAINFRAME", -1, 160, 26, 20, 20},
                            {"DEFPUSHBUTTON", "OK", 1, 37, 97, 50, 14},
                            {"PUSHBUTTON", "Cancel", 2, 108, 97, 50, 14},
                            // last, so that the focus still starts on OK
                            {"LTEXT", "Other port:", -1, 19, 67, 46, 8},
                            {"COMBOBOX", "", 1072, 67, 65, 113, 80},
                        });
  EXPECT_TRUE(setup.controls[1].HasStyle("WS_GROUP"));
  EXPECT_TRUE(setup.controls[9].HasStyle("CBS_DROPDOWNLIST")) << "a list to choose from";
  for (const ui::ControlTemplate& control : setup.controls) {
    EXPECT_EQ(control.HasStyle("WS_TABSTOP"),
              control.id == 1 || control.id == 2 || control.id == 1072)
        << "only the list, OK and Cancel are tab stops, not " << control.text;
  }
  const ui::DialogTemplate& connect = Template(176);
  EXPECT_EQ((std::vector<int>{connect.width, connect.height}), (std::vector<int>{182, 43}));
  EXPECT_EQ(connect.caption, "Connect to the receiver");
  EXPECT_FALSE(connect.HasStyle("WS_SYSMENU")) << "no close box";
  ExpectControls(connect, {
                              {"CONTROL", "", 1057, 11, 20, 158, 10},
                              {"LTEXT", "Connecting .....", -1, 13, 5, 65, 8},
                          });
  EXPECT_EQ(connect.controls[0].className, "msctls_progress32");
  EXPECT_TRUE(connect.controls[0].HasStyle("WS_BORDER"));
}

TEST(Templates, RemotePanel) {
  const ui::DialogTemplate& panel = Template(141);
  EXPECT_EQ((std::vector<int>{panel.width, panel.height}), (std::vector<int>{462, 349}));
  EXPECT_TRUE(panel.HasStyle("WS_MINIMIZEBOX"));
  EXPECT_EQ(panel.fontName, "宋体");
  std::vector<Expected> expected = {
      {"GROUPBOX", "Comport", -1, 20, 35, 80, 70},
      {"AUTORADIOBUTTON", "Com 1", 1070, 32, 48, 36, 10},
      {"AUTORADIOBUTTON", "Com 2", 1071, 32, 62, 36, 10},
      {"AUTORADIOBUTTON", "Com 3", 1074, 32, 77, 36, 10},
      {"AUTORADIOBUTTON", "Com 4", 1075, 32, 91, 36, 10},
      {"EDITTEXT", "", 1076, 20, 120, 205, 170},
      {"PUSHBUTTON", "close", 2, 20, 10, 50, 14},
  };
  const Expected keys[] = {
      {"PUSHBUTTON", "POWER⊙", 1080, 270, 14, 30, 14},
      {"PUSHBUTTON", "INFO", 1081, 380, 14, 30, 14},
      {"PUSHBUTTON", "PAUSE", 1082, 270, 36, 30, 14},
      {"PUSHBUTTON", "TEXT", 1083, 326, 36, 30, 14},
      {"PUSHBUTTON", "UHF", 1084, 380, 36, 30, 14},
      {"PUSHBUTTON", "FAV▲", 1085, 270, 60, 30, 14},
      {"PUSHBUTTON", "FAV▼", 1086, 326, 60, 30, 14},
      {"PUSHBUTTON", "FAV", 1087, 380, 60, 30, 14},
      {"PUSHBUTTON", "AUDIO", 1088, 270, 84, 30, 14},
      {"PUSHBUTTON", "MUTE", 1089, 380, 84, 30, 14},
      {"PUSHBUTTON", "CH▲", 1090, 326, 101, 30, 14},
      {"PUSHBUTTON", "OK", 1091, 326, 126, 30, 14},
      {"PUSHBUTTON", "VOL-->", 1092, 380, 126, 30, 14},
      {"PUSHBUTTON", "<--VOL", 1093, 270, 126, 30, 14},
      {"PUSHBUTTON", "CH▼", 1094, 326, 151, 30, 14},
      {"PUSHBUTTON", "MENU", 1095, 270, 176, 30, 14},
      {"PUSHBUTTON", "EXIT", 1096, 380, 176, 30, 14},
      {"PUSHBUTTON", "RECALL", 1097, 270, 206, 40, 14},
      {"PUSHBUTTON", "TV/RADIO", 1098, 322, 206, 40, 14},
      {"PUSHBUTTON", "SAT/TV", 1099, 372, 206, 40, 14},
      {"PUSHBUTTON", "1", 1100, 270, 232, 40, 14},
      {"PUSHBUTTON", "2", 1101, 322, 232, 40, 14},
      {"PUSHBUTTON", "3", 1102, 372, 232, 40, 14},
      {"PUSHBUTTON", "4", 1103, 270, 256, 40, 14},
      {"PUSHBUTTON", "5", 1104, 322, 256, 40, 14},
      {"PUSHBUTTON", "6", 1105, 372, 256, 40, 14},
      {"PUSHBUTTON", "&7", 1106, 270, 282, 40, 14},
      {"PUSHBUTTON", "8", 1107, 322, 282, 40, 14},
      {"PUSHBUTTON", "9", 1108, 372, 282, 40, 14},
      {"PUSHBUTTON", "P/N/S", 1109, 270, 308, 40, 14},
      {"PUSHBUTTON", "0", 1110, 322, 308, 40, 14},
      {"PUSHBUTTON", "EPG", 1111, 372, 308, 40, 14},
  };
  expected.insert(expected.end(), std::begin(keys), std::end(keys));
  ExpectControls(panel, expected);
  const ui::ControlTemplate* box = panel.Control(1076);
  ASSERT_NE(box, nullptr);
  for (const char* style : {"ES_MULTILINE", "ES_READONLY", "ES_WANTRETURN", "ES_AUTOHSCROLL",
                            "WS_BORDER", "WS_TABSTOP"}) {
    EXPECT_TRUE(box->HasStyle(style)) << style;
  }
}

TEST(Templates, UpgradeAndRead) {
  const ui::DialogTemplate& upgrade = Template(171);
  const ui::DialogTemplate& read = Template(172);
  EXPECT_EQ(upgrade.caption, "Upgrade Receiver Software");
  EXPECT_EQ(read.caption, "Read Receiver Software");
  for (const ui::DialogTemplate* dialog : {&upgrade, &read}) {
    EXPECT_EQ((std::vector<int>{dialog->width, dialog->height}), (std::vector<int>{301, 65}));
    EXPECT_EQ(dialog->fontName, "宋体");
    EXPECT_FALSE(dialog->HasStyle("WS_SYSMENU")) << "no close box";
    // The progress text sits on the group box's edge, where a caption would be: no border.
    const ui::ControlTemplate* text = dialog->Control(1087);
    ASSERT_NE(text, nullptr);
    for (const char* style : {"ES_READONLY", "WS_DISABLED", "ES_CENTER", "ES_AUTOHSCROLL"}) {
      EXPECT_TRUE(text->HasStyle(style)) << dialog->id << " " << style;
    }
    EXPECT_FALSE(text->HasStyle("WS_BORDER")) << dialog->id;
    EXPECT_EQ(dialog->Control(1057)->className, "msctls_progress32");
    EXPECT_TRUE(dialog->Control(1057)->HasStyle("WS_BORDER"));
  }
  ExpectControls(upgrade, {
                              {"GROUPBOX", "", -1, 6, 5, 287, 34},
                              {"EDITTEXT", "", 1087, 15, 5, 57, 12},
                              {"CONTROL", "", 1057, 11, 20, 274, 11},
                              {"CTEXT",
                               "Dont' power off during Saving Data.... The Receiver will Auto "
                               "Reboot！",
                               1093, 10, 20, 282, 15},
                              {"PUSHBUTTON", "Cancel", 2, 122, 44, 50, 14},
                          });
  EXPECT_FALSE(upgrade.Control(1093)->HasStyle("WS_VISIBLE"));
  EXPECT_FALSE(upgrade.Control(2)->HasStyle("WS_TABSTOP")) << "Enter must not find Cancel";
  ExpectControls(read, {
                           {"GROUPBOX", "", -1, 6, 5, 288, 34},
                           {"EDITTEXT", "", 1087, 15, 5, 57, 12},
                           {"CONTROL", "", 1057, 11, 20, 274, 11},
                           {"PUSHBUTTON", "Cancel", 2, 122, 44, 50, 14},
                       });
  for (int id : {1087, 1057, 2}) {
    EXPECT_TRUE(read.Control(id)->HasStyle("WS_TABSTOP")) << id;
  }
}

TEST(TemplateLibrary, RefusesAScriptItCannotRead) {
  ui::TemplateLibrary library;
  std::string error;
  EXPECT_FALSE(library.Load("/nonexistent.rc", VL_SOURCE_DIR "/res/resource.h", error));
  EXPECT_NE(error.find("nonexistent.rc"), std::string::npos);
}

}  // namespace
