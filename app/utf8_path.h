#pragma once

#include <filesystem>
#include <string>

namespace app {

// A file-system path from UTF-8 text, so that Unicode paths work with the wide file APIs.
inline std::filesystem::path Utf8Path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string PathUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace app
