#include <windows.h>
// After windows.h, which it builds on.
#include <setupapi.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "link/com_ports.h"
#include "ui/win32/win32_text.h"

namespace comm {

namespace {

// The numbers of the DOS devices named COM<number>, in order.
std::vector<int> ComDeviceNumbers() {
  // Every DOS device name, one after another. A machine with many devices has more names
  // than a first guess holds: the list is asked for again with more room until it fits.
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
    if (name.size() > 3 && name.size() < 10 && name.compare(0, 3, L"COM") == 0 &&
        name.find_first_not_of(L"0123456789", 3) == std::wstring::npos) {
      const int number = std::stoi(name.substr(3));
      if (number > 0) {
        numbers.push_back(number);
      }
    }
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  return numbers;
}

// The serial and parallel ports' device class, as Device Manager lists it.
constexpr GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

class DeviceList {
 public:
  DeviceList() : handle_(SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT)) {}
  ~DeviceList() {
    if (handle_ != INVALID_HANDLE_VALUE) {
      SetupDiDestroyDeviceInfoList(handle_);
    }
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  HDEVINFO Handle() const { return handle_; }

 private:
  HDEVINFO handle_;
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
  HKEY key = SetupDiOpenDevRegKey(list, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) {
    return std::wstring();
  }
  wchar_t name[64] = {};
  DWORD size = sizeof(name) - sizeof(wchar_t);  // room for a null the value may lack
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

// Every present device of the ports class that has a COM number, by that number.
std::map<int, PortIdentity> DeviceRecords() {
  std::map<int, PortIdentity> records;
  DeviceList list;
  if (list.Handle() == INVALID_HANDLE_VALUE) {
    return records;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(list.Handle(), i, &device); ++i) {
    const std::wstring name = PortName(list.Handle(), device);
    if (name.size() < 4 || _wcsnicmp(name.c_str(), L"COM", 3) != 0 ||
        name.find_first_not_of(L"0123456789", 3) != std::wstring::npos || name.size() > 9) {
      continue;
    }
    PortIdentity identity;
    identity.name = ui::Narrow(Property(list.Handle(), device, SPDRP_FRIENDLYNAME));
    identity.manufacturer = ui::Narrow(Property(list.Handle(), device, SPDRP_MFG));
    const std::wstring hardware = Property(list.Handle(), device, SPDRP_HARDWAREID);
    identity.vendorId = HardwareIdPart(hardware, L"VID_");
    identity.productId = HardwareIdPart(hardware, L"PID_");
    if (!identity.vendorId.empty()) {
      identity.bus = "usb";
    }
    records.emplace(std::stoi(name.substr(3)), identity);
  }
  return records;
}

}  // namespace

std::vector<SystemComPort> ListComPorts() {
  const std::map<int, PortIdentity> records = DeviceRecords();
  std::vector<SystemComPort> ports;
  for (const int number : ComDeviceNumbers()) {
    const auto record = records.find(number);
    ports.push_back(
        SystemComPort{number, record == records.end() ? PortIdentity{} : record->second});
  }
  return ports;
}

PortIdentity IdentifyComPort(int number) {
  const std::map<int, PortIdentity> records = DeviceRecords();
  const auto record = records.find(number);
  return record == records.end() ? PortIdentity{} : record->second;
}

}  // namespace comm
