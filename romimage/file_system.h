// What the program does with the files a user names, on each platform. Only a regular file
// is ever opened, and nothing blocks: a FIFO would wait for a writer, and a device may act
// on being opened. A finished file replaces another in one step.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace romimage {

// A path from UTF-8 text, so that any name works with the wide file APIs, and back.
inline std::filesystem::path Utf8Path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string PathUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// An open file, closed when this goes.
class File {
 public:
  explicit File(std::FILE* file) : file_(file) {}
  ~File() {
    if (file_ != nullptr) {
      std::fclose(file_);
    }
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  std::FILE* Get() const { return file_; }

 private:
  std::FILE* file_;
};

enum class FileUse {
  kReadSharingNothing,  // a file another program has open is not taken (where the system can tell)
  kRead,
  kWrite,  // created, or emptied when it exists
};

// The file at path, opened for the use, when it is a regular file; null when it is missing,
// anything else (a directory, a FIFO, a device, a socket), or cannot be opened.
std::FILE* OpenRegularFile(const std::filesystem::path& path, FileUse use);

// The length of an open file, or -1; the file is left at its start.
long long FileLength(std::FILE* file);

// Whether everything written so far is on the disk, not only in the system's cache.
bool SyncToDisk(std::FILE* file);

// Where a write to path lands, as opening it for writing would find it: through symbolic
// links to the file they name (which need not exist yet). False where that open would be
// refused: an existing file this user may not write, or links that never end.
bool ResolveWriteTarget(const std::filesystem::path& path, std::filesystem::path& target);

// Puts a finished file in the place of another in one step, so that a reader sees either the
// old file or the new one, never a part of either. False when the target cannot be replaced
// (a folder, or a file another program holds).
bool ReplaceAtomically(const std::filesystem::path& from, const std::filesystem::path& to);

// Gives a finished file a name that no file has, in one step; false when one has it by then
// (nothing is replaced) or the name cannot be given.
bool PlaceAsNew(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace romimage
