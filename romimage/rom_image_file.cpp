#include "romimage/rom_image_file.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <type_traits>

#include "romimage/file_system.h"
#include "romimage/receiver_variant_table.h"

namespace romimage {

namespace {

// Whether a character continues the one before it (UTF-8 on POSIX, UTF-16 on Windows), so
// that a name is never cut inside a character.
constexpr bool ContinuesCharacter(std::filesystem::path::value_type c) {
  using Unit = std::make_unsigned_t<std::filesystem::path::value_type>;
  const auto unit = static_cast<std::uint32_t>(static_cast<Unit>(c));
  return sizeof(c) == 1 ? (unit & 0xC0u) == 0x80u : unit >= 0xDC00u && unit <= 0xDFFFu;
}

// A free name beside the target, no longer than the target's own: its last characters become
// "~" and a number. A name near the system's limit is written as a direct write would write
// it. Empty when there is none to be had.
std::filesystem::path TemporaryPath(const std::filesystem::path& target) {
  using Name = std::filesystem::path::string_type;
  constexpr int kTries = 10000;
  static std::atomic<unsigned> counter{0};
  const Name name = target.filename().native();
  for (int tries = 0; tries < kTries && !name.empty(); ++tries) {
    Name tail(1, '~');
    for (const char digit : std::to_string(counter++)) {
      tail.push_back(static_cast<Name::value_type>(digit));
    }
    if (tail.size() > name.size()) {
      tail.erase(0, tail.size() - name.size());  // a short name keeps only the number's end
    }
    std::size_t cut = name.size() - tail.size();
    while (cut > 0 && ContinuesCharacter(name[cut])) {
      --cut;
    }
    const Name temporary = name.substr(0, cut) + tail;
    std::filesystem::path path = target.parent_path() / temporary;
    std::error_code error;
    if (temporary != name &&
        !std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
      return path;
    }
  }
  return std::filesystem::path();
}

// Closes the file (once) and removes it, so a failure leaves nothing behind.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::filesystem::path path)
      : path_(std::move(path)), file_(OpenRegularFile(path_, FileUse::kWrite)) {
    if (file_ != nullptr) {
      // Unbuffered, so that each write reports what really reached the file.
      std::setvbuf(file_, nullptr, _IONBF, 0);
    }
  }
  ~TemporaryFile() {
    Close();
    if (!kept_) {
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  std::FILE* File() const { return file_; }
  const std::filesystem::path& Path() const { return path_; }
  bool Close() {
    const bool ok = file_ == nullptr || std::fclose(file_) == 0;
    file_ = nullptr;
    return ok;
  }
  void Keep() { kept_ = true; }

 private:
  std::filesystem::path path_;
  std::FILE* file_;
  bool kept_ = false;
};

}  // namespace

ImageCheck CheckImageFile(const std::uint8_t* data, std::size_t size, int& variant) {
  variant = -1;
  const std::size_t small = ReceiverVariantTable[0].FileLength();
  const std::size_t large = ReceiverVariantTable[1].FileLength();
  if (size != small && size != large) {
    return ImageCheck::kBadLength;
  }
  const int match = MatchImageTag(data);
  if (match < 0) {
    return ImageCheck::kBadTag;
  }
  // A 1 MiB file whose tag names a 2 MiB receiver holds only half the blocks the tag calls for.
  if (size < ReceiverVariantTable[match].FileLength()) {
    return ImageCheck::kBadLength;
  }
  variant = match;
  return ImageCheck::kAccepted;
}

std::string WriteFailureMessage(WriteResult result, int variant) {
  switch (result) {
    case WriteResult::kWritten:
      return std::string();
    case WriteResult::kCreateFailed:
      return "create file error!";
    case WriteResult::kTagWriteFailed:
      return variant >= 0 && variant < kVariantCount ? ReceiverVariantTable[variant].tagWriteFailure
                                                     : "write file error!";
    case WriteResult::kDataWriteFailed:
      return "write file error!";
  }
  return std::string();
}

WriteResult WriteImageFile(const std::string& targetPath, int variant, const std::uint8_t* image,
                           ExistingFile existing) {
  if (variant < 0 || variant >= kVariantCount || image == nullptr) {
    return WriteResult::kDataWriteFailed;
  }
  const ReceiverVariant& row = ReceiverVariantTable[variant];
  const bool keep = existing == ExistingFile::kKeep;
  // Written where a direct write would write, and refused where it would be refused; a name
  // that is taken, even by a link that leads nowhere, is kept.
  std::filesystem::path target = Utf8Path(targetPath);
  std::error_code error;
  if (keep ? std::filesystem::exists(std::filesystem::symlink_status(target, error))
           : !ResolveWriteTarget(Utf8Path(targetPath), target)) {
    return WriteResult::kCreateFailed;
  }
  TemporaryFile temporary(TemporaryPath(target));
  if (temporary.File() == nullptr) {
    return WriteResult::kCreateFailed;
  }
  if (std::fwrite(row.imageTag, kTagSize, 1, temporary.File()) != 1) {
    return WriteResult::kTagWriteFailed;
  }
  if (std::fwrite(image, kBlockSize, row.blockCount, temporary.File()) != row.blockCount ||
      !SyncToDisk(temporary.File()) || !temporary.Close()) {
    return WriteResult::kDataWriteFailed;
  }
  // The old file stays whole until the new one is complete, then gives way in one step.
  if (!(keep ? PlaceAsNew(temporary.Path(), target)
             : ReplaceAtomically(temporary.Path(), target))) {
    return WriteResult::kCreateFailed;
  }
  temporary.Keep();
  return WriteResult::kWritten;
}

}  // namespace romimage
