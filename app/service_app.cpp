#include "app/service_app.h"

#include <filesystem>
#include <system_error>

#include "app/control_panel_dialog.h"
#include "app/port_config.h"
#include "romimage/file_system.h"

namespace app {

namespace {

constexpr char kConfigName[] = "Pelto.cfg";

constexpr char kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::string TrimWhiteSpace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size() && IsWhiteSpace(text[begin])) {
    ++begin;
  }
  std::size_t end = text.size();
  while (end > begin && IsWhiteSpace(text[end - 1])) {
    --end;
  }
  return std::string(text.substr(begin, end - begin));
}

std::string MakeConfigPath(std::string_view directory, char separator) {
  // Without a readable directory the file is looked for relative to the process.
  if (directory.empty()) {
    return kConfigName;
  }
  std::string path(directory);
  if (path.back() != separator) {
    path += separator;
  }
  return path + kConfigName;
}

std::string CurrentDirectoryUtf8() {
  std::error_code error;
  const std::filesystem::path directory = std::filesystem::current_path(error);
  return error ? std::string() : romimage::PathUtf8(directory);
}

PortConfig LoadStartUpConfig() {
  PortConfig config;
  config.currentDirectory = TrimWhiteSpace(CurrentDirectoryUtf8());
  config.configPath = MakeConfigPath(config.currentDirectory, kSeparator);
  config.Load();
  return config;
}

int ServiceApp::Run() {
  // The one configuration record of the process; the dialogs get its port index from here.
  PortConfig config = LoadStartUpConfig();
  {
    ControlPanelDialog panel(config.portIndex);
    panel.DoModal();
  }
  config.Save();
  return 0;
}

}  // namespace app
