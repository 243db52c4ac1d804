// Files of a receiver's flash that the command line names itself (backups, a bench's reads):
// named after the receiver's kind, the port and the time, and never written over another.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "romimage/rom_image_file.h"

namespace cli {

// Now as "yyyymmdd-hhmmss", local time.
std::string TimeStamp();

// The name of a file of a receiver's flash: its variant's tag, the port (when given) and when
// it was taken: "RomFtaAMD1-ttyUSB0-20261207-142423.bin".
std::string FlashFileName(int variant, const std::string& port, const std::string& timeStamp);
// The name of a backup of a receiver's flash: "backup-" and its flash file's name, the port
// given when several are backed up at once.
std::string BackupFileName(int variant, const std::string& port, const std::string& timeStamp);

// name in the folder of file (UTF-8 paths).
std::string InFolderOf(const std::string& file, const std::string& name);

// A file written for the run, and how the write went.
struct WrittenFile {
  std::string path;
  romimage::WriteResult result = romimage::WriteResult::kCreateFailed;
};

// A flash written under name(stamp), or name("stamp-2"), name("stamp-3") ... whichever no
// file has: two runs within one second, in one process or several, never write over each
// other. The name is taken in the same step as the file is put there, so a run that loses
// the race for it takes the next.
WrittenFile WriteUnderFreeName(const std::string& stamp,
                               const std::function<std::string(const std::string&)>& name,
                               int variant, const std::uint8_t* flash);

}  // namespace cli
