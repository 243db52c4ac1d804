// ROM images whose data a read may equal: those this run has proven, those in the folders
// named by --known, and the backups an upgrade has kept beside its file before. A read whose
// kind and data equal one of them exactly is proven by that one pass: noise on the line never
// turns one flash into exactly another image. Only each image's kind, digest and file are
// kept; its data are read again from the file, and compared byte for byte, when a read
// matches the digest, so the file is checked to hold them still.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace cli {

class KnownImages {
 public:
  struct Image {
    int variant = -1;
    std::string sha256;  // of the data, as info gives it
    std::string path;
  };

  // The ROM image files in folder (not below it) whose names pass wanted; each one that
  // cannot be read or is no ROM image is added to skipped with why.
  void AddFolder(const std::string& folder, bool (*wanted)(const std::string& name),
                 std::vector<std::string>& skipped);
  // An image proven in this run, kept in path.
  void Add(int variant, const std::vector<std::uint8_t>& data, const std::string& path);
  // The image that holds exactly this kind and data, checked in its file; none when no file
  // holds them (any more).
  std::optional<Image> Find(int variant, const std::vector<std::uint8_t>& data) const;
  // The file of a known image that holds data; else the one write makes (empty when it
  // could not), made known. One port at a time: ports that prove the same flash side by
  // side keep one file of it. kept: it was known already.
  std::string Keep(int variant, const std::vector<std::uint8_t>& data,
                   const std::function<std::string()>& write, bool& kept);
  bool Empty() const;

 private:
  mutable std::mutex mutex_;  // the ports of a run share one
  std::mutex keeping_;        // a find and the write that follows it, as one step
  std::vector<Image> images_;
};

// The SHA-256 of a flash's data, as the log and info give it.
std::string DataDigest(const std::uint8_t* data, std::size_t size);

// Whether path holds a ROM image of variant whose data are exactly data.
bool FileHolds(const std::string& path, int variant, const std::vector<std::uint8_t>& data);

}  // namespace cli
