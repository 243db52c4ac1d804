// The page's files, built into the program: a bench network has no internet, and no part
// of a request ever names a file on the disk.
#pragma once

#include <cstddef>
#include <string>

namespace serve {

struct PageAsset {
  const char* path;  // as requested: "/", "/page.js"
  const char* type;  // its Content-Type
  const unsigned char* data;
  std::size_t size;
};

// The asset served at path; null for any other path.
const PageAsset* FindPageAsset(const std::string& path);

}  // namespace serve
