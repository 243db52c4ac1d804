#include "cli/transfers/known_images.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "cli/transfers/sha256.h"
#include "romimage/file_system.h"
#include "romimage/image_file_reader.h"
#include "romimage/receiver_variant_table.h"
#include "romimage/rom_image_file.h"

namespace cli {

namespace {

// The kind and data of a ROM image file; false with why not.
bool ReadImage(const std::string& path, int& variant, std::vector<std::uint8_t>& data,
               std::string& why) {
  std::vector<std::uint8_t> file;
  switch (romimage::ReadImageFile(path, file)) {
    case romimage::ReadResult::kRead:
      break;
    case romimage::ReadResult::kBadLength:
      why = "not a ROM image (its length)";
      return false;
    case romimage::ReadResult::kNoMemory:
      why = "out of memory";
      return false;
    case romimage::ReadResult::kOpenFailed:
    case romimage::ReadResult::kReadShort:
      why = "cannot be read";
      return false;
  }
  if (romimage::CheckImageFile(file.data(), file.size(), variant) !=
      romimage::ImageCheck::kAccepted) {
    why = "not a ROM image";
    return false;
  }
  const auto begin = file.begin() + romimage::kTagSize;
  data.assign(begin, begin + romimage::ReceiverVariantTable[variant].ImageSize());
  return true;
}

}  // namespace

std::string DataDigest(const std::uint8_t* data, std::size_t size) {
  Sha256 hash;
  hash.Add(data, size);
  return hash.HexDigest();
}

bool FileHolds(const std::string& path, int variant, const std::vector<std::uint8_t>& data) {
  int found = -1;
  std::vector<std::uint8_t> held;
  std::string why;
  return ReadImage(path, found, held, why) && found == variant && held == data;
}

void KnownImages::AddFolder(const std::string& folder, bool (*wanted)(const std::string& name),
                            std::vector<std::string>& skipped) {
  std::error_code error;
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(romimage::Utf8Path(folder), error)) {
    std::error_code ignored;
    const std::string name = romimage::PathUtf8(entry.path().filename());
    if (entry.is_regular_file(ignored) && wanted(name)) {
      paths.push_back(romimage::PathUtf8(entry.path()));
    }
  }
  if (error) {
    skipped.push_back(folder + ": " + error.message());
    return;
  }
  std::sort(paths.begin(), paths.end());
  for (const std::string& path : paths) {
    int variant = -1;
    std::vector<std::uint8_t> data;
    std::string why;
    if (!ReadImage(path, variant, data, why)) {
      skipped.push_back(path + ": " + why);
      continue;
    }
    Add(variant, data, path);
  }
}

void KnownImages::Add(int variant, const std::vector<std::uint8_t>& data, const std::string& path) {
  Image image{variant, DataDigest(data.data(), data.size()), path};
  const std::lock_guard<std::mutex> lock(mutex_);
  images_.push_back(std::move(image));
}

std::optional<KnownImages::Image> KnownImages::Find(int variant,
                                                    const std::vector<std::uint8_t>& data) const {
  if (data.empty() || Empty()) {
    return std::nullopt;
  }
  const std::string digest = DataDigest(data.data(), data.size());
  std::vector<Image> candidates;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::copy_if(
        images_.begin(), images_.end(), std::back_inserter(candidates),
        [&](const Image& image) { return image.variant == variant && image.sha256 == digest; });
  }
  for (const Image& image : candidates) {
    if (FileHolds(image.path, variant, data)) {
      return image;
    }
  }
  return std::nullopt;
}

std::string KnownImages::Keep(int variant, const std::vector<std::uint8_t>& data,
                              const std::function<std::string()>& write, bool& kept) {
  const std::lock_guard<std::mutex> lock(keeping_);
  if (const auto image = Find(variant, data)) {
    kept = true;
    return image->path;
  }
  kept = false;
  std::string path = write();
  if (!path.empty()) {
    Add(variant, data, path);
  }
  return path;
}

bool KnownImages::Empty() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return images_.empty();
}

}  // namespace cli
