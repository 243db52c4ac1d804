#include <windows.h>

#include <string>

#include "cli/log/log_file.h"
#include "ui/win32/win32_text.h"

namespace cli {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A file handle that is closed once: by Close, which says whether the system took
// everything, or else when it goes.
class FileHandle {
 public:
  FileHandle() = default;
  FileHandle(const std::string& path, DWORD access, DWORD disposition) {
    Open(path, access, disposition);
  }
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // false with the system's error in Error().
  bool Open(const std::string& path, DWORD access, DWORD disposition) {
    Close();
    handle_ = CreateFileW(ui::Widen(path).c_str(), access, kShareAll, nullptr, disposition,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    error_ = IsOpen() ? 0 : GetLastError();
    return IsOpen();
  }
  HANDLE Get() const { return handle_; }
  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  DWORD Error() const { return error_; }
  bool Close() {
    if (!IsOpen()) {
      return true;
    }
    const bool closed = CloseHandle(handle_) != FALSE;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DWORD error_ = 0;
};

// The lock is one byte far beyond any end the file can have, not the file itself: our own
// handles that flush and cut the file back must not be barred from its data by it. Every
// writer of the log takes it first (earlier versions locked the whole file, which holds
// this byte too).
constexpr DWORD kLockOffsetHigh = 0x40000000;  // byte 2^62

OVERLAPPED LockPlace() {
  OVERLAPPED place{};
  place.OffsetHigh = kLockOffsetHigh;
  return place;
}

// The log, locked against every other writer until this goes. Lines go in through a handle
// that may only append (every write lands at the end, whoever else appends); locking needs
// read access beside it, and flushing and cutting back need write access, which a second
// handle has.
class LockedLog {
 public:
  explicit LockedLog(const std::string& path)
      : appender_(path, GENERIC_READ | FILE_APPEND_DATA, OPEN_ALWAYS) {
    if (!appender_.IsOpen()) {
      error_ = appender_.Error();
      return;
    }
    OVERLAPPED place = LockPlace();
    if (!LockFileEx(appender_.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &place)) {
      error_ = GetLastError();
      return;
    }
    locked_ = true;
    if (!flusher_.Open(path, GENERIC_WRITE, OPEN_EXISTING)) {
      error_ = flusher_.Error();
    }
  }
  ~LockedLog() {
    flusher_.Close();
    if (locked_) {
      OVERLAPPED place = LockPlace();
      UnlockFileEx(appender_.Get(), 0, 1, 0, &place);
    }
  }
  LockedLog(const LockedLog&) = delete;
  LockedLog& operator=(const LockedLog&) = delete;

  bool Ok() const { return error_ == 0; }
  DWORD Error() const { return error_; }
  HANDLE Appender() const { return appender_.Get(); }
  FileHandle& Flusher() { return flusher_; }

 private:
  FileHandle appender_;
  bool locked_ = false;
  FileHandle flusher_;
  DWORD error_ = 0;
};

// The file cut back to size, through a handle of its own (the one that failed may be gone).
void CutBack(const std::string& path, LARGE_INTEGER size) {
  FileHandle file(path, GENERIC_WRITE, OPEN_EXISTING);
  if (file.IsOpen() && SetFilePointerEx(file.Get(), size, nullptr, FILE_BEGIN) &&
      SetEndOfFile(file.Get())) {
    FlushFileBuffers(file.Get());
  }
}

}  // namespace

bool LogFile::Check(std::string& error) const {
  const LockedLog log(path_);
  if (!log.Ok()) {
    error = ui::SystemErrorText(log.Error());
    return false;
  }
  return true;
}

bool LogFile::Append(const std::string& line, std::string& error) const {
  LockedLog log(path_);
  if (!log.Ok()) {
    error = ui::SystemErrorText(log.Error());
    return false;
  }
  LARGE_INTEGER before{};
  if (!GetFileSizeEx(log.Appender(), &before)) {
    error = ui::SystemErrorText(GetLastError());
    return false;
  }
  const std::string text = line + "\n";
  DWORD written = 0;
  bool stored =
      WriteFile(log.Appender(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  if (stored && written != text.size()) {
    SetLastError(ERROR_DISK_FULL);
    stored = false;
  }
  // A share reports what it could not store at the flush or the close, both still under the
  // lock.
  stored = stored && FlushFileBuffers(log.Flusher().Get());
  DWORD failure = stored ? 0 : GetLastError();
  if (!log.Flusher().Close() && failure == 0) {
    failure = GetLastError();
  }
  if (failure == 0) {
    return true;
  }
  // A full disk takes part of a line; the rest of it would glue the next line to it.
  CutBack(path_, before);
  error = ui::SystemErrorText(failure);
  return false;
}

}  // namespace cli
