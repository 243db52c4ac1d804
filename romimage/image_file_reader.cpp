#include "romimage/image_file_reader.h"

#include <cstdio>
#include <new>

#include "romimage/file_system.h"
#include "romimage/receiver_variant_table.h"

namespace romimage {

ReadResult ReadImageFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  // Sharing nothing: a file another program is still writing is not taken.
  File file(OpenRegularFile(Utf8Path(path), FileUse::kReadSharingNothing));
  if (file.Get() == nullptr) {
    return ReadResult::kOpenFailed;
  }
  const long long length = FileLength(file.Get());
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
