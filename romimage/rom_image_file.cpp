#include "romimage/rom_image_file.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "romimage/file_system.h"
#include "romimage/receiver_variant_table.h"

namespace romimage {

namespace {

// A name beside the target that no other write of this process uses at the same time.
std::filesystem::path TemporaryPath(const std::filesystem::path& target) {
  static std::atomic<unsigned> counter{0};
  std::filesystem::path temporary = target;
  temporary += ".part" + std::to_string(counter++);
  std::error_code error;
  while (std::filesystem::exists(temporary, error)) {
    temporary = target;
    temporary += ".part" + std::to_string(counter++);
  }
  return temporary;
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

WriteResult WriteImageFile(const std::string& targetPath, int variant, const std::uint8_t* image) {
  if (variant < 0 || variant >= kVariantCount || image == nullptr) {
    return WriteResult::kDataWriteFailed;
  }
  const ReceiverVariant& row = ReceiverVariantTable[variant];
  const std::filesystem::path target = Utf8Path(targetPath);
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
  if (!ReplaceAtomically(temporary.Path(), target)) {
    return WriteResult::kCreateFailed;
  }
  temporary.Keep();
  return WriteResult::kWritten;
}

}  // namespace romimage
