// The bench's log: one JSON line per port and run, appended by any number of ports and
// vesker-link processes at once, on a local disk or a network share. A line is on the disk,
// whole, or not there at all: it goes in under an exclusive lock on the file, and a write,
// flush or close that fails cuts the file back to where it was, so that the next line, from
// whichever process, starts on a line of its own.
//
// The log may also be a pipe, a FIFO or a character device (a collector reading the bench's
// lines, /dev/null, NUL): those are opened once and kept open for the run, so that a reader
// never sees the end of the stream between two lines; a line goes to them whole or fails,
// and a reader that has gone or stops reading fails the line within a few seconds.
#pragma once

#include <memory>
#include <mutex>
#include <string>

namespace cli {

class LogFile {
 public:
  explicit LogFile(std::string path);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  const std::string& Path() const { return path_; }
  // Whether lines can be appended: the file opens (it is made when it is missing) and takes
  // the lock, as Append needs; false with the system's reason. A pipe or device stays open
  // from here to the end of the run.
  bool Check(std::string& error) const;
  // line and a line end, whole (and on the disk, for a file); false with the system's
  // reason, a file then as it was. Safe from any thread.
  bool Append(const std::string& line, std::string& error) const;

 private:
  // A pipe or device the log stays open on, as the system has it.
  class Stream;

  // The stream, opened on the first use when it is one; false with the reason when the
  // path cannot be opened. Called with mutex_ held.
  bool Open(std::string& error) const;

  std::string path_;
  // Lines of the ports' threads go out one at a time: a lock on the file is the open file's,
  // and a stream is one open file for the whole process.
  mutable std::mutex mutex_;
  mutable bool opened_ = false;
  mutable std::unique_ptr<Stream> stream_;
};

}  // namespace cli
