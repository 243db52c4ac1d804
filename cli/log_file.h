// The bench's log: one JSON line per port and run, appended by any number of ports and
// vesker-link processes at once. Each line goes in one write to a file opened for appending,
// under an exclusive lock on the whole file, so that no line is ever cut into or lost.
#pragma once

#include <string>

namespace cli {

class LogFile {
 public:
  explicit LogFile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }
  // Whether lines can be appended (the file is made when it is missing); false with the
  // system's reason.
  bool Check(std::string& error) const;
  // line and a line end, whole; false with the system's reason. Safe from any thread.
  bool Append(const std::string& line, std::string& error) const;

 private:
  std::string path_;
};

}  // namespace cli
