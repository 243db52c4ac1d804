#include <windows.h>

#include "cli/log_file.h"
#include "ui/win32/win32_text.h"

namespace cli {

namespace {

// The log opened for appending only, so that every write lands at its end whoever else
// appends; closed when this goes.
class AppendHandle {
 public:
  explicit AppendHandle(const std::string& path)
      : handle_(CreateFileW(ui::Widen(path).c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)),
        error_(handle_ == INVALID_HANDLE_VALUE ? GetLastError() : 0) {}
  ~AppendHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) {
      CloseHandle(handle_);
    }
  }
  AppendHandle(const AppendHandle&) = delete;
  AppendHandle& operator=(const AppendHandle&) = delete;

  HANDLE Get() const { return handle_; }
  DWORD Error() const { return error_; }

 private:
  HANDLE handle_;
  DWORD error_;
};

std::string Reason(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, sizeof(text), nullptr);
  std::string reason(text, length);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == '.' || reason.back() == ' ')) {
    reason.pop_back();
  }
  return reason.empty() ? "system error " + std::to_string(error) : reason;
}

}  // namespace

bool LogFile::Check(std::string& error) const {
  const AppendHandle file(path_);
  if (file.Get() == INVALID_HANDLE_VALUE) {
    error = Reason(file.Error());
    return false;
  }
  return true;
}

bool LogFile::Append(const std::string& line, std::string& error) const {
  const AppendHandle file(path_);
  if (file.Get() == INVALID_HANDLE_VALUE) {
    error = Reason(file.Error());
    return false;
  }
  // The whole of any file there will be: other processes' lines wait for this one.
  OVERLAPPED whole{};
  if (!LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    error = Reason(GetLastError());
    return false;
  }
  const std::string text = line + "\n";
  DWORD written = 0;
  const bool ok =
      WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size();
  if (!ok) {
    error = Reason(GetLastError());
  }
  OVERLAPPED unlock{};
  UnlockFileEx(file.Get(), 0, MAXDWORD, MAXDWORD, &unlock);
  return ok;
}

}  // namespace cli
