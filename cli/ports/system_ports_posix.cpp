#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <system_error>

#include "cli/console/terminal.h"
#include "cli/ports/system_ports.h"

namespace cli {

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

// The first line of a sysfs attribute; empty when there is none.
std::string Attribute(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

PortIdentity IdentifyPort(const std::string& port) {
  PortIdentity identity;
  // The device number leads to the tty's place in sysfs, whatever name the node has.
  struct stat node {};
  if (::stat(port.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) {
    return identity;
  }
  std::error_code error;
  const std::filesystem::path tty =
      std::filesystem::canonical("/sys/dev/char/" + std::to_string(major(node.st_rdev)) + ":" +
                                     std::to_string(minor(node.st_rdev)),
                                 error);
  if (error) {
    return identity;  // a pty: no device behind it
  }
  // A USB adapter's tty sits below the USB device that holds its ids and strings.
  for (std::filesystem::path folder = tty.parent_path();
       folder.string().rfind("/sys/devices/", 0) == 0; folder = folder.parent_path()) {
    if (std::filesystem::exists(folder / "idVendor", error)) {
      identity.bus = "usb";
      identity.vendorId = Attribute(folder / "idVendor");
      identity.productId = Attribute(folder / "idProduct");
      identity.manufacturer = Attribute(folder / "manufacturer");
      identity.product = Attribute(folder / "product");
      identity.serial = Attribute(folder / "serial");
      return identity;
    }
  }
  int type = 0;
  std::ifstream uart(tty / "type");
  if (uart >> type && type != 0) {
    identity.bus = "uart";
  }
  return identity;
}

std::vector<std::string> ListSerialPorts() {
  const char* custom = std::getenv("VESKER_LINK_DEV");
  const std::filesystem::path dev = custom != nullptr && *custom != '\0' ? custom : "/dev";
  std::vector<std::string> candidates = Entries(dev / "serial" / "by-id", "");
  for (const char* prefix : {"ttyUSB", "ttyACM"}) {
    const std::vector<std::string> more = Entries(dev, prefix);
    candidates.insert(candidates.end(), more.begin(), more.end());
  }
  // Most ttyS are only names: sysfs tells which have a UART behind them, without opening
  // the device (which would raise its DTR). Only the system's own /dev has sysfs.
  if (dev == "/dev") {
    for (const std::string& path : Entries(dev, "ttyS")) {
      if (IdentifyPort(path).bus == "uart") {
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

namespace {

// ModemManager tries every new serial device as a modem for a while after it appears.
constexpr std::time_t kNewDeviceSeconds = 120;

bool ModemManagerRuns() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() ||
        !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    if (Attribute(entry.path() / "comm") == "ModemManager") {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string ModemManagerHint(const std::string& device, bool busy) {
  struct stat node {};
  if (device.empty() || ::stat(device.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) {
    return std::string();  // a network port, or nothing there
  }
  if (!busy && std::time(nullptr) - node.st_ctime > kNewDeviceSeconds) {
    return std::string();
  }
  if (!ModemManagerRuns()) {
    return std::string();
  }
  std::string hint =
      "ModemManager is running and may be probing this port, as it does with every new "
      "serial device; to make it leave ";
  const PortIdentity identity = IdentifyPort(device);
  if (!identity.vendorId.empty() && !identity.productId.empty()) {
    const std::string rule = "ATTRS{idVendor}==\"" + identity.vendorId +
                             "\", ATTRS{idProduct}==\"" + identity.productId +
                             "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
    return hint + "this adapter alone: echo " + ShellQuote(rule) +
           " | sudo tee /etc/udev/rules.d/99-vesker-link.rules, sudo udevadm control --reload, "
           "and plug the adapter in again; or stop it: sudo systemctl stop ModemManager";
  }
  return hint +
         "the port alone, stop it (sudo systemctl stop ModemManager) or give the adapter a "
         "udev rule that sets ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
}

}  // namespace cli
