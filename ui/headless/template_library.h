// Dialog templates read from the program's resource script, so the headless host builds the
// same controls, ids and captions that the Win32 dialog manager builds from the compiled
// resources.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace ui {

struct ControlTemplate {
  std::string kind;  // PUSHBUTTON, LTEXT, CONTROL, ...
  std::string text;  // caption, or the icon name of an ICON
  int id = 0;
  std::string className;  // for CONTROL statements
  int x = 0, y = 0, width = 0, height = 0;
  std::vector<std::string> styles;

  bool HasStyle(const std::string& style) const;
};

struct DialogTemplate {
  int id = 0;
  int width = 0, height = 0;
  std::string caption;
  std::string fontName;
  int fontSize = 0;
  std::vector<std::string> styles;
  std::vector<ControlTemplate> controls;

  bool HasStyle(const std::string& style) const;
  const ControlTemplate* Control(int controlId) const;
};

class TemplateLibrary {
 public:
  // Reads a resource script and the header that names its ids; false with a reason on
  // anything it cannot read.
  bool Load(const std::string& scriptPath, const std::string& headerPath, std::string& error);
  const DialogTemplate* Find(int id) const;

  // The program's own templates, read once.
  static const TemplateLibrary& Program();

 private:
  bool ReadHeader(const std::string& path, std::string& error);
  bool Value(const std::string& token, int& value) const;

  std::map<std::string, int> symbols_;
  std::map<int, DialogTemplate> dialogs_;
};

}  // namespace ui
