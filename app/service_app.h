// Start-up: find the configuration file, load it, run the Control Panel, save, end.
#pragma once

#include <string>
#include <string_view>

#include "app/port_config.h"

namespace app {

class ServiceApp {
 public:
  // Runs the whole program on the installed dialog host; returns the process exit code.
  int Run();
};

// Leading and trailing white space removed.
std::string TrimWhiteSpace(std::string_view text);

// "Pelto.cfg" in the given directory: a root such as "D:\" takes the name directly,
// any other directory gets one separator first. An empty directory gives the bare name.
std::string MakeConfigPath(std::string_view directory, char separator);

// The configuration record as the program starts: "Pelto.cfg" found in the current
// directory and loaded.
PortConfig LoadStartUpConfig();

// The process's current directory as UTF-8, of any length; empty when it cannot be read.
std::string CurrentDirectoryUtf8();

}  // namespace app
