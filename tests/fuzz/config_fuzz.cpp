// Loading the configuration file from any contents, and saving it back.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/port_config.h"
#include "link/command_port.h"
#include "ui/headless/headless_host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/vl-config-fuzz-" + std::to_string(::getpid()) + ".cfg";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return 0;
  }
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  ui::HeadlessHost host;
  app::PortConfig config;
  config.configPath = path;
  config.Load();
  comm::ComNumber(config.portIndex);  // any value must give a port number
  config.Save();
  return 0;
}
