#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "cli/console_terminal.h"
#include "link/serial_port.h"

namespace cli {

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

void PrepareConsole() {}  // a POSIX terminal takes UTF-8 as it comes

std::tm LocalTime(std::time_t moment) {
  std::tm local{};
  localtime_r(&moment, &local);
  return local;
}

namespace {

// The entries of folder whose names begin with prefix, ttyUSB2 before ttyUSB10.
std::vector<std::string> Entries(const std::filesystem::path& folder, const std::string& prefix) {
  std::vector<std::pair<std::string, std::string>> found;  // key, path
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) {
      continue;
    }
    const std::string tail = name.substr(prefix.size());
    const bool number =
        !tail.empty() && tail.size() < 10 &&
        std::all_of(tail.begin(), tail.end(), [](char c) { return c >= '0' && c <= '9'; });
    found.emplace_back(number ? std::string(10 - tail.size(), '0') + tail : name,
                       entry.path().string());
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  paths.reserve(found.size());
  for (const auto& item : found) {
    paths.push_back(item.second);
  }
  return paths;
}

// Whether a UART stands behind /dev/ttyS<n>: most of them are only names. The kernel says
// so in sysfs, so the device itself is not opened (which would raise its DTR).
bool HasUart(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  std::ifstream type("/sys/class/tty/" + name + "/type");
  int uart = 0;
  return static_cast<bool>(type >> uart) && uart != 0;
}

}  // namespace

std::vector<std::string> ListSerialPorts() {
  const char* custom = std::getenv("VESKER_LINK_DEV");
  const std::filesystem::path dev = custom != nullptr && *custom != '\0' ? custom : "/dev";
  std::vector<std::string> candidates = Entries(dev / "serial" / "by-id", "");
  for (const char* prefix : {"ttyUSB", "ttyACM"}) {
    const std::vector<std::string> more = Entries(dev, prefix);
    candidates.insert(candidates.end(), more.begin(), more.end());
  }
  // Only the system's own /dev has sysfs to tell which ttyS are real.
  if (dev == "/dev") {
    for (const std::string& path : Entries(dev, "ttyS")) {
      if (HasUart(path)) {
        candidates.push_back(path);
      }
    }
  }
  // A by-id name and the device it names are one port: the stable name comes first.
  std::vector<std::string> ports;
  std::set<std::string> seen;
  for (const std::string& path : candidates) {
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(path, error);
    if (!error && seen.insert(real.string()).second) {
      ports.push_back(path);
    }
  }
  return ports;
}

std::string AccessRemedy(const std::string& device) {
  // Serial devices belong to a group whose members may open them: dialout on Debian and its
  // kin, uucp elsewhere. The device itself says which, when it names one.
  std::string name = "dialout";
  struct stat status {};
  if (::stat(device.c_str(), &status) == 0 && status.st_gid != 0 && (status.st_mode & S_IRGRP)) {
    group entry{};
    group* found = nullptr;
    std::vector<char> text(4096);
    if (::getgrgid_r(status.st_gid, &entry, text.data(), text.size(), &found) == 0 &&
        found != nullptr) {
      name = found->gr_name;
    }
  }
  return "a user opens serial ports as a member of the " + name + " group: sudo usermod -aG " +
         name + " $USER, then log in again";
}

std::string ComDevice(int n) {
  return comm::SerialPort::DevicePath(n);
}

bool NeedsComDevice(int /*n*/) {
  return false;
}

}  // namespace cli
