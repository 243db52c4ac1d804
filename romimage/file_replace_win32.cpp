#include <windows.h>

#include "romimage/file_replace.h"

namespace romimage {

bool ReplaceAtomically(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MoveFileExW(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

}  // namespace romimage
