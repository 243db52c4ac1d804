// Puts a finished file in the place of another in one step, so that a reader sees either the
// old file or the new one, never a part of either.
#pragma once

#include <filesystem>

namespace romimage {

// False when the target cannot be replaced (a folder, or a file another program holds).
bool ReplaceAtomically(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace romimage
