#include <windows.h>
// After windows.h, which it builds on.
#include <setupapi.h>

#include <algorithm>
#include <ctime>

#include "cli/console_terminal.h"
#include "ui/win32/win32_text.h"

namespace cli {

bool StderrIsTerminal() {
  // A console can redraw a line once it takes escape sequences; a pipe or file cannot.
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
    return false;
  }
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void PrepareConsole() {
  SetConsoleOutputCP(CP_UTF8);
}

std::tm LocalTime(std::time_t moment) {
  std::tm local{};
  localtime_s(&local, &moment);
  return local;
}

std::vector<std::string> ListSerialPorts() {
  // Every DOS device name, one after another; COM ports are those named COM<number>.
  std::vector<wchar_t> names(65536);
  const DWORD length = QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()));
  std::vector<int> numbers;
  for (DWORD i = 0; i < length && names[i] != L'\0';) {
    const std::wstring name(names.data() + i);
    i += static_cast<DWORD>(name.size()) + 1;
    if (name.size() > 3 && name.compare(0, 3, L"COM") == 0 &&
        name.find_first_not_of(L"0123456789", 3) == std::wstring::npos && name.size() < 10) {
      numbers.push_back(std::stoi(name.substr(3)));
    }
  }
  std::sort(numbers.begin(), numbers.end());
  std::vector<std::string> ports;
  for (const int n : numbers) {
    ports.push_back("COM" + std::to_string(n));
  }
  return ports;
}

namespace {

// The serial and parallel ports' device class, as Device Manager lists it.
constexpr GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

struct DeviceList {
  HDEVINFO handle;
  explicit DeviceList(HDEVINFO h) : handle(h) {}
  ~DeviceList() {
    if (handle != INVALID_HANDLE_VALUE) {
      SetupDiDestroyDeviceInfoList(handle);
    }
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
};

// A text property of a device (a list's first entry); empty when it has none.
std::wstring Property(HDEVINFO list, SP_DEVINFO_DATA& device, DWORD property) {
  wchar_t buffer[512] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(list, &device, property, nullptr,
                                         reinterpret_cast<BYTE*>(buffer), sizeof(buffer) - 4,
                                         nullptr)) {
    return std::wstring();
  }
  return buffer;
}

// The port name ("COM3") a device of the ports class has in its registry key.
std::wstring PortName(HDEVINFO list, SP_DEVINFO_DATA& device) {
  HKEY key = SetupDiOpenDevRegKey(list, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) {
    return std::wstring();
  }
  wchar_t name[64] = {};
  DWORD size = sizeof(name) - sizeof(wchar_t);
  DWORD type = 0;
  const LONG read =
      RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
  RegCloseKey(key);
  return read == ERROR_SUCCESS && type == REG_SZ ? std::wstring(name) : std::wstring();
}

// "0403" from "USB\VID_0403&PID_6001&REV_0600" for key "VID_".
std::string HardwareIdPart(const std::wstring& id, const wchar_t* key) {
  const std::size_t at = id.find(key);
  return at == std::wstring::npos || at + 8 > id.size() ? std::string()
                                                        : ui::Narrow(id.substr(at + 4, 4));
}

}  // namespace

PortIdentity IdentifyPort(const std::string& port) {
  PortIdentity identity;
  // "COM3", "\\.\COM12" or a bare number all name COMn.
  std::string com = port.substr(port.rfind('\\') == std::string::npos ? 0 : port.rfind('\\') + 1);
  if (!com.empty() && com.find_first_not_of("0123456789") == std::string::npos) {
    com = "COM" + com;
  }
  const std::wstring wanted(com.begin(), com.end());
  DeviceList list(SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT));
  if (list.handle == INVALID_HANDLE_VALUE) {
    return identity;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(list.handle, i, &device); ++i) {
    if (_wcsicmp(PortName(list.handle, device).c_str(), wanted.c_str()) != 0) {
      continue;
    }
    identity.name = ui::Narrow(Property(list.handle, device, SPDRP_FRIENDLYNAME));
    identity.manufacturer = ui::Narrow(Property(list.handle, device, SPDRP_MFG));
    const std::wstring hardware = Property(list.handle, device, SPDRP_HARDWAREID);
    identity.vendorId = HardwareIdPart(hardware, L"VID_");
    identity.productId = HardwareIdPart(hardware, L"PID_");
    if (!identity.vendorId.empty()) {
      identity.bus = "usb";
    }
    break;
  }
  return identity;
}

std::string AccessRemedy(const std::string& /*device*/) {
  return std::string();  // Windows answers "access denied" for a port in use: see busy
}

std::string ModemManagerHint(const std::string& /*device*/, bool /*busy*/) {
  return std::string();  // a Linux service
}

std::string ShellQuote(const std::string& argument) {
  // As the C runtime splits a command line: quotes around anything with a blank or a quote,
  // a quote escaped, and the backslashes before a quote (or the closing one) doubled.
  if (!argument.empty() && argument.find_first_of(" \t\"&|<>^%") == std::string::npos) {
    return argument;
  }
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

std::string ComDevice(int n) {
  return "\\\\.\\COM" + std::to_string(n);
}

bool NeedsComDevice(int n) {
  return n > 9;  // only COM1 to COM9 open by their bare names
}

}  // namespace cli
