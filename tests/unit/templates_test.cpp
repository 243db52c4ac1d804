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

TEST(TemplateLibrary, RefusesAScriptItCannotRead) {
  ui::TemplateLibrary library;
  std::string error;
  EXPECT_FALSE(library.Load("/nonexistent.rc", VL_SOURCE_DIR "/res/resource.h", error));
  EXPECT_NE(error.find("nonexistent.rc"), std::string::npos);
}

}  // namespace
