// A file of the command line's own in the system's temporary folder: a read's copy of the
// flash, the image an upgrade writes. Its name is free when made, and it is gone again when
// this goes, however the work with it ended.
#pragma once

#include <filesystem>
#include <string>

namespace cli {

class ScratchFile {
 public:
  // label: the port as part of a file name, so that several ports' files are told apart.
  explicit ScratchFile(const std::string& label);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // The path as UTF-8.
  std::string Path() const;

 private:
  std::filesystem::path path_;
};

}  // namespace cli
