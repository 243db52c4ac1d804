#include <windows.h>
// After windows.h, which it builds on.
#include <setupapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli/ports/system_ports.h"
#include "ui/win32/win32_text.h"

namespace cli {

std::vector<std::string> ListSerialPorts() {
  // Every DOS device name, one after another; COM ports are those named COM<number>. A
  // machine with many devices has more names than a first guess holds: the list is asked
  // for again with more room until it fits.
  std::vector<wchar_t> names(16384);
  DWORD length = 0;
  while ((length = QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()))) == 0) {
    const DWORD error = GetLastError();
    if ((error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_MORE_DATA) ||
        names.size() >= (1u << 24)) {
      return {};
    }
    names.resize(names.size() * 4);
  }
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
  ports.reserve(numbers.size());
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

// A text property of a device (a list's first entry); empty when it has none. Asked for once
// for its size, then with room for it.
std::wstring Property(HDEVINFO list, SP_DEVINFO_DATA& device, DWORD property) {
  DWORD size = 0;
  SetupDiGetDeviceRegistryPropertyW(list, &device, property, nullptr, nullptr, 0, &size);
  if (size == 0) {
    return std::wstring();
  }
  // Two characters more than asked for: a value stored without its final null still ends.
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
  if (!SetupDiGetDeviceRegistryPropertyW(list, &device, property, nullptr,
                                         reinterpret_cast<BYTE*>(buffer.data()), size, nullptr)) {
    return std::wstring();
  }
  return buffer.data();
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

}  // namespace cli
