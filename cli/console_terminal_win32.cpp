#include <windows.h>

#include <algorithm>
#include <ctime>

#include "cli/console_terminal.h"

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

std::string AccessRemedy(const std::string& /*device*/) {
  return std::string();  // Windows answers "access denied" for a port in use: see busy
}

std::string ComDevice(int n) {
  return "\\\\.\\COM" + std::to_string(n);
}

bool NeedsComDevice(int n) {
  return n > 9;  // only COM1 to COM9 open by their bare names
}

}  // namespace cli
