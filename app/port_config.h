// The configuration record: the port index and the file "Pelto.cfg" that keeps it.
#pragma once

#include <cstdint>
#include <string>

namespace app {

class PortConfig {
 public:
  // Reads the port index from configPath; a missing, unreadable or short file gives 0.
  void Load();
  // Writes the port index as exactly 4 little-endian bytes to configPath.
  void Save();

  // Moves the 4 bytes of portIndex between the record and a file's contents.
  // Loading takes the first 4 bytes of data; storing appends them to data.
  void Serialize(std::string& data, bool storing);

  std::string configPath;        // UTF-8
  std::string currentDirectory;  // UTF-8, trimmed
  std::int32_t portIndex = 0;
  std::int32_t transferOk = 0;
};

}  // namespace app
