#include "romimage/image_file_reader.h"

#include <cstdio>
#include <filesystem>
#include <new>

#ifdef _WIN32
#include <share.h>
#endif

#include "romimage/receiver_variant_table.h"

namespace romimage {

namespace {

// Open for reading, sharing nothing: a file another program has open is not taken.
std::FILE* OpenExclusively(const std::string& path) {
  const std::filesystem::path file(std::u8string(path.begin(), path.end()));
#ifdef _WIN32
  return _wfsopen(file.c_str(), L"rb", _SH_DENYRW);
#else
  return std::fopen(file.c_str(), "rb");
#endif
}

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

long long Length(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) {
    return -1;
  }
#ifdef _WIN32
  const long long length = _ftelli64(file);
#else
  const long long length = ftello(file);
#endif
  std::rewind(file);
  return length;
}

}  // namespace

ReadResult ReadImageFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  File file(OpenExclusively(path));
  if (file.Get() == nullptr) {
    return ReadResult::kOpenFailed;
  }
  const long long length = Length(file.Get());
  if (length != ReceiverVariantTable[0].FileLength() &&
      length != ReceiverVariantTable[1].FileLength()) {
    return ReadResult::kBadLength;
  }
  try {
    bytes.resize(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    return ReadResult::kNoMemory;
  }
  if (std::fread(bytes.data(), 1, bytes.size(), file.Get()) != bytes.size()) {
    return ReadResult::kReadShort;
  }
  return ReadResult::kRead;
}

}  // namespace romimage
