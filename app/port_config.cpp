#include "app/port_config.h"

#include <cstdio>

#include "romimage/file_system.h"
#include "ui/dialog.h"
#include "ui/program_title.h"

namespace app {

void PortConfig::Serialize(std::string& data, bool storing) {
  transferOk = 0;
  if (storing) {
    const auto value = static_cast<std::uint32_t>(portIndex);
    for (int shift = 0; shift < 32; shift += 8) {
      data.push_back(static_cast<char>((value >> shift) & 0xFFu));
    }
    transferOk = 1;
    return;
  }
  if (data.size() < 4) {
    return;  // short file: the value stays as it was and transferOk stays 0
  }
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(data[static_cast<std::size_t>(i)]);
  }
  portIndex = static_cast<std::int32_t>(value);
  transferOk = 1;
}

void PortConfig::Load() {
  // Only a regular file is read: a FIFO or a device there must not hold up the start.
  const romimage::File file(
      romimage::OpenRegularFile(romimage::Utf8Path(configPath), romimage::FileUse::kRead));
  if (file.Get() == nullptr) {
    portIndex = 0;
    return;
  }
  // Only the first 4 bytes count; anything after them is ignored.
  std::string data(4, '\0');
  data.resize(std::fread(data.data(), 1, data.size(), file.Get()));
  Serialize(data, false);
  if (transferOk == 0) {
    portIndex = 0;
  }
}

void PortConfig::Save() {
  // Never written into anything but a regular file, and never blocked on one that is not.
  const romimage::File file(
      romimage::OpenRegularFile(romimage::Utf8Path(configPath), romimage::FileUse::kWrite));
  if (file.Get() == nullptr) {
    ui::Host::Current().ShowMessage("save config info error！", ui::kProgramTitle);
    return;
  }
  std::string data;
  Serialize(data, true);
  // A full disk shows up only when the bytes reach the file; saying nothing would let the
  // user believe the port choice was kept.
  if (std::fwrite(data.data(), 1, data.size(), file.Get()) != data.size() ||
      std::fflush(file.Get()) != 0) {
    transferOk = 0;
    ui::Host::Current().ShowMessage("save data error！", "error");
  }
}

}  // namespace app
