#include <windows.h>

#include <algorithm>
#include <string>

#include "cli/log/log_file.h"
#include "ui/win32/win32_text.h"

namespace cli {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// How long a line waits for a pipe's reader to take it before it counts as not logged: a
// collector that stops reading must not hold a port's run for ever.
constexpr ULONGLONG kReaderPatienceMs = 5000;
constexpr char kNoReader[] = "its reader took nothing for 5 s";

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
  bool Open(const std::string& path, DWORD access, DWORD disposition,
            DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    Close();
    handle_ = CreateFileW(ui::Widen(path).c_str(), access, kShareAll, nullptr, disposition, flags,
                          nullptr);
    error_ = IsOpen() ? 0 : GetLastError();
    return IsOpen();
  }
  // The file that other holds, opened again with access of its own: the same file whatever
  // has happened to its name since (a log rotated: renamed, and a new one made in its place).
  bool Reopen(HANDLE other, DWORD access) {
    Close();
    handle_ = ReOpenFile(other, access, kShareAll, 0);
    error_ = IsOpen() ? 0 : GetLastError();
    return IsOpen();
  }
  HANDLE Get() const { return handle_; }
  HANDLE Release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }
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
// read access beside it, and flushing and cutting back need write access, which handles
// opened again from it have: never the name, which a rotation may have given another file
// meanwhile.
class LockedLog {
 public:
  explicit LockedLog(const std::string& path)
      : appender_(path, GENERIC_READ | FILE_APPEND_DATA, OPEN_ALWAYS) {
    if (!appender_.IsOpen()) {
      error_ = appender_.Error();
      return;
    }
    // A pipe that refused to be written (and so was not taken as one) is no file either.
    if (GetFileType(appender_.Get()) != FILE_TYPE_DISK) {
      error_ = ERROR_ACCESS_DENIED;
      return;
    }
    OVERLAPPED place = LockPlace();
    if (!LockFileEx(appender_.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &place)) {
      error_ = GetLastError();
      return;
    }
    locked_ = true;
    if (!flusher_.Reopen(appender_.Get(), GENERIC_WRITE)) {
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

// The locked file cut back to size, through a handle of its own (the flusher, whose close may
// have failed, is gone).
void CutBack(HANDLE locked, LARGE_INTEGER size) {
  FileHandle file;
  if (file.Reopen(locked, GENERIC_WRITE) &&
      SetFilePointerEx(file.Get(), size, nullptr, FILE_BEGIN) && SetEndOfFile(file.Get())) {
    FlushFileBuffers(file.Get());
  }
}

}  // namespace

// The one handle of a pipe or character device (NUL, a console), kept from the start of the
// run to its end: no lock, flush or cutting back, which only a disk file has. It is opened
// for overlapped writes, so that each wait for the reader is bounded.
class LogFile::Stream {
 public:
  explicit Stream(HANDLE handle)
      : handle_(handle), written_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Stream() {
    if (written_ != nullptr) {
      CloseHandle(written_);
    }
    CloseHandle(handle_);
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // line and a line end, whole; empty, or why not.
  std::string Write(const std::string& line) {
    if (written_ == nullptr) {
      return ui::SystemErrorText(ERROR_NOT_ENOUGH_MEMORY);
    }
    const ULONGLONG deadline = GetTickCount64() + kReaderPatienceMs;
    // A line cut short before (its reader stopped in the middle) is ended first, so this one
    // starts on a line of its own.
    const std::size_t start = cutShort_ ? 1 : 0;
    const std::string text = std::string(start, '\n') + line + "\n";
    std::size_t done = 0;
    DWORD failure = 0;
    while (done < text.size() && failure == 0) {
      const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, MAXDWORD));
      OVERLAPPED request{};
      request.hEvent = written_;
      DWORD wrote = 0;
      if (!WriteFile(handle_, text.data() + done, piece, nullptr, &request)) {
        failure = GetLastError();
        if (failure != ERROR_IO_PENDING) {
          break;
        }
        failure = 0;
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(written_, left) != WAIT_OBJECT_0) {
          // Cancelled, and waited for: the write must not end later into a buffer that is
          // gone.
          CancelIoEx(handle_, &request);
          GetOverlappedResult(handle_, &request, &wrote, TRUE);
          done += wrote;
          failure = ERROR_TIMEOUT;
          break;
        }
      }
      if (!GetOverlappedResult(handle_, &request, &wrote, FALSE)) {
        failure = GetLastError();
      } else if (wrote == 0) {
        failure = ERROR_WRITE_FAULT;
      }
      done += wrote;
    }
    // Whatever went in decides whether the reader now holds a line without its end.
    if (done > 0) {
      cutShort_ = done > start && done < text.size();
    }
    if (failure == ERROR_TIMEOUT) {
      return kNoReader;
    }
    return failure == 0 ? std::string() : ui::SystemErrorText(failure);
  }

 private:
  HANDLE handle_;
  HANDLE written_;
  bool cutShort_ = false;
};

LogFile::LogFile(std::string path) : path_(std::move(path)) {}

LogFile::~LogFile() = default;

bool LogFile::Open(std::string& error) const {
  if (opened_) {
    return true;
  }
  // Opened first as a pipe's or a device's writer opens it: the right to write, and nothing
  // made. A disk file opened so is let go again at once, untouched.
  FileHandle probe;
  probe.Open(path_, GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
  if (!probe.IsOpen()) {
    // A missing file is made by the first line; one this user may only append to is
    // opened for appending alone. Either way it is a file, opened anew for each line.
    opened_ = probe.Error() == ERROR_FILE_NOT_FOUND || probe.Error() == ERROR_ACCESS_DENIED;
    if (!opened_) {
      error = ui::SystemErrorText(probe.Error());
    }
    return opened_;
  }
  const DWORD type = GetFileType(probe.Get());
  if (type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR) {
    stream_ = std::make_unique<Stream>(probe.Release());
  } else if (type != FILE_TYPE_DISK) {
    error = "not a file, a pipe or a character device";
    return false;
  }
  opened_ = true;
  return true;
}

bool LogFile::Check(std::string& error) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!Open(error)) {
    return false;
  }
  if (stream_) {
    return true;
  }
  const LockedLog log(path_);
  if (!log.Ok()) {
    error = ui::SystemErrorText(log.Error());
    return false;
  }
  return true;
}

bool LogFile::Append(const std::string& line, std::string& error) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!Open(error)) {
    return false;
  }
  if (stream_) {
    error = stream_->Write(line);
    return error.empty();
  }
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
  CutBack(log.Appender(), before);
  error = ui::SystemErrorText(failure);
  return false;
}

}  // namespace cli
