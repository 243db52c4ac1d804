// The bench's log: one JSON line per port and run, appended by any number of ports and
// vesker-link processes at once, on a local disk or a network share. A line is on the disk,
// whole, or not there at all: it goes in under an exclusive lock on the file, and a write,
// flush or close that fails cuts the file back to where it was, so that the next line, from
// whichever process, starts on a line of its own.
#pragma once

#include <string>

namespace cli {

class LogFile {
 public:
  explicit LogFile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }
  // Whether lines can be appended: the file opens (it is made when it is missing) and takes
  // the lock, as Append needs; false with the system's reason.
  bool Check(std::string& error) const;
  // line and a line end, whole and on the disk; false with the system's reason, the file
  // then as it was. Safe from any thread.
  bool Append(const std::string& line, std::string& error) const;

 private:
  std::string path_;
};

}  // namespace cli
