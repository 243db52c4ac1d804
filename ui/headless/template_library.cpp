#include "ui/headless/template_library.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace ui {

namespace {

std::string Trim(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) {
    return std::string();
  }
  const auto end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

// Splits a statement's arguments at the commas outside string literals.
std::vector<std::string> SplitArguments(const std::string& text) {
  std::vector<std::string> fields;
  std::string field;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
    }
    if (c == ',' && !quoted) {
      fields.push_back(Trim(field));
      field.clear();
    } else {
      field += c;
    }
  }
  fields.push_back(Trim(field));
  return fields;
}

// A string literal without its quotes ("" stands for one quote), or the token itself.
std::string Unquote(const std::string& token) {
  if (token.size() < 2 || token.front() != '"' || token.back() != '"') {
    return token;
  }
  std::string text;
  for (std::size_t i = 1; i + 1 < token.size(); ++i) {
    text += token[i];
    if (token[i] == '"' && token[i + 1] == '"') {
      ++i;
    }
  }
  return text;
}

// The style words of a statement; "NOT X" stays one word, as it takes X away.
std::vector<std::string> StyleWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text + " ") {
    if (c == '|' || c == ' ' || c == '\t') {
      if (!word.empty()) {
        if (!words.empty() && words.back() == "NOT") {
          words.back() += " " + word;
        } else {
          words.push_back(word);
        }
      }
      word.clear();
    } else {
      word += c;
    }
  }
  return words;
}

bool Contains(const std::vector<std::string>& words, const std::string& word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

}  // namespace

bool ControlTemplate::HasStyle(const std::string& style) const {
  return Contains(styles, style);
}

bool DialogTemplate::HasStyle(const std::string& style) const {
  return Contains(styles, style);
}

const ControlTemplate* DialogTemplate::Control(int controlId) const {
  for (const ControlTemplate& control : controls) {
    if (control.id == controlId) {
      return &control;
    }
  }
  return nullptr;
}

bool TemplateLibrary::ReadHeader(const std::string& path, std::string& error) {
  std::ifstream header(path);
  if (!header) {
    error = "cannot read " + path;
    return false;
  }
  std::string line;
  while (std::getline(header, line)) {
    std::istringstream words(line);
    std::string directive, name, value;
    words >> directive >> name >> value;
    if (directive != "#define" || value.empty()) {
      continue;
    }
    value.erase(std::remove(value.begin(), value.end(), '('), value.end());
    value.erase(std::remove(value.begin(), value.end(), ')'), value.end());
    char* end = nullptr;
    const long number = std::strtol(value.c_str(), &end, 0);
    if (end != nullptr && *end == '\0') {
      symbols_[name] = static_cast<int>(number);
    }
  }
  return true;
}

bool TemplateLibrary::Value(const std::string& token, int& value) const {
  const auto symbol = symbols_.find(token);
  if (symbol != symbols_.end()) {
    value = symbol->second;
    return true;
  }
  char* end = nullptr;
  const long number = std::strtol(token.c_str(), &end, 0);
  if (token.empty() || end == nullptr || *end != '\0') {
    return false;
  }
  value = static_cast<int>(number);
  return true;
}

bool TemplateLibrary::Load(const std::string& scriptPath, const std::string& headerPath,
                           std::string& error) {
  symbols_ = {{"IDOK", 1}, {"IDCANCEL", 2}, {"IDC_STATIC", -1}};
  dialogs_.clear();
  if (!ReadHeader(headerPath, error)) {
    return false;
  }
  std::ifstream script(scriptPath);
  if (!script) {
    error = "cannot read " + scriptPath;
    return false;
  }
  DialogTemplate* dialog = nullptr;
  bool inBody = false;
  std::string line;
  int lineNumber = 0;
  auto fail = [&](const std::string& why) {
    error = scriptPath + ":" + std::to_string(lineNumber) + ": " + why;
    return false;
  };
  while (std::getline(script, line)) {
    ++lineNumber;
    line = Trim(line);
    std::istringstream words(line);
    std::string first, second;
    words >> first >> second;
    if (dialog == nullptr) {
      if (second == "DIALOGEX" || second == "DIALOG") {
        int id = 0;
        if (!Value(first, id)) {
          return fail("unknown dialog id " + first);
        }
        const auto size = SplitArguments(line.substr(line.find(second) + second.size()));
        dialog = &dialogs_[id];
        *dialog = DialogTemplate{};
        dialog->id = id;
        if (size.size() < 4 || !Value(size[2], dialog->width) || !Value(size[3], dialog->height)) {
          return fail("bad dialog size");
        }
      }
      continue;
    }
    const std::string rest = Trim(line.substr(first.size()));
    if (!inBody) {
      if (first == "STYLE") {
        dialog->styles = StyleWords(rest);
      } else if (first == "CAPTION") {
        dialog->caption = Unquote(rest);
      } else if (first == "FONT") {
        const auto font = SplitArguments(rest);
        if (font.size() < 2 || !Value(font[0], dialog->fontSize)) {
          return fail("bad font");
        }
        dialog->fontName = Unquote(font[1]);
      } else if (first == "BEGIN") {
        inBody = true;
      }
      continue;
    }
    if (first == "END") {
      dialog = nullptr;
      inBody = false;
      continue;
    }
    if (first.empty() || first.rfind("//", 0) == 0) {
      continue;
    }
    ControlTemplate control;
    control.kind = first;
    std::vector<std::string> fields = SplitArguments(rest);
    if (control.kind != "EDITTEXT" && control.kind != "COMBOBOX") {
      control.text = Unquote(fields.front());
      fields.erase(fields.begin());
    }
    if (fields.empty() || !Value(fields[0], control.id)) {
      return fail("bad control id");
    }
    std::size_t next = 1;
    if (control.kind == "CONTROL") {
      if (fields.size() < 3) {
        return fail("short CONTROL statement");
      }
      control.className = Unquote(fields[1]);
      control.styles = StyleWords(fields[2]);
      next = 3;
    }
    if (fields.size() < next + 4 || !Value(fields[next], control.x) ||
        !Value(fields[next + 1], control.y) || !Value(fields[next + 2], control.width) ||
        !Value(fields[next + 3], control.height)) {
      return fail("bad control position");
    }
    for (std::size_t i = next + 4; i < fields.size(); ++i) {
      for (const std::string& word : StyleWords(fields[i])) {
        control.styles.push_back(word);
      }
    }
    // The resource compiler gives an edit box a border, and it, a drop-down list and the
    // buttons a tab stop, unless told NOT to.
    std::vector<const char*> implied;
    if (control.kind == "EDITTEXT") {
      implied = {"WS_BORDER", "WS_TABSTOP"};
    } else if (control.kind == "PUSHBUTTON" || control.kind == "DEFPUSHBUTTON" ||
               control.kind == "AUTORADIOBUTTON" || control.kind == "COMBOBOX") {
      implied = {"WS_TABSTOP"};
    }
    for (const char* style : implied) {
      if (!Contains(control.styles, style) &&
          !Contains(control.styles, std::string("NOT ") + style)) {
        control.styles.push_back(style);
      }
    }
    dialog->controls.push_back(control);
  }
  if (dialog != nullptr) {
    return fail("template without END");
  }
  return true;
}

const DialogTemplate* TemplateLibrary::Find(int id) const {
  const auto dialog = dialogs_.find(id);
  return dialog == dialogs_.end() ? nullptr : &dialog->second;
}

const TemplateLibrary& TemplateLibrary::Program() {
  static const TemplateLibrary library = [] {
    TemplateLibrary loaded;
    std::string error;
    if (!loaded.Load(VL_SOURCE_DIR "/res/VeskerLink.rc", VL_SOURCE_DIR "/res/resource.h", error)) {
      loaded.dialogs_.clear();
    }
    return loaded;
  }();
  return library;
}

}  // namespace ui
