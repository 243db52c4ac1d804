// Reads a whole ROM image file into memory, as the upgrade loads it: one read of exactly the
// file's length, and only for a file of one of the two valid lengths.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace romimage {

enum class ReadResult {
  kRead,
  kOpenFailed,  // missing, unreadable, or held by another program
  kBadLength,   // neither 1,048,596 nor 2,097,172 bytes: not read at all
  kNoMemory,
  kReadShort,
};

ReadResult ReadImageFile(const std::string& path, std::vector<std::uint8_t>& bytes);

}  // namespace romimage
