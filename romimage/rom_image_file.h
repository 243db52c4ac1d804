// ROM image files: a 20-byte image tag, then the receiver's flash block by block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace romimage {

enum class ImageCheck {
  kAccepted,
  kBadLength,  // neither 1,048,596 nor 2,097,172 bytes, or shorter than its tag calls for
  kBadTag,     // the first 20 bytes are no variant's tag
};

// Recognises a whole file held in memory: the length first, then the tag. The variant and so
// the block count come from the tag; a file too short for its tag's blocks is refused, so no
// reader ever runs past its end.
ImageCheck CheckImageFile(const std::uint8_t* data, std::size_t size, int& variant);

enum class WriteResult {
  kWritten,
  kCreateFailed,     // no temporary file, or the target could not be replaced
  kTagWriteFailed,   // the 20 tag bytes did not all reach the file
  kDataWriteFailed,  // the image did not all reach the file (or the disk)
};

// What becomes of a file already at the target's name.
enum class ExistingFile {
  kReplace,  // it gives way (a symbolic link is written through)
  kKeep,     // it stays, and nothing is written (kCreateFailed)
};

// Writes tag and image to a new file beside targetPath (UTF-8) and then puts it in the
// target's place in one step. On any failure the new file is removed and an existing target
// keeps its content.
WriteResult WriteImageFile(const std::string& targetPath, int variant, const std::uint8_t* image,
                           ExistingFile existing = ExistingFile::kReplace);

// What the user is told of a file that was not written ("create file error!", the variant's
// tag write failure, "write file error!"); empty for kWritten.
std::string WriteFailureMessage(WriteResult result, int variant);

}  // namespace romimage
