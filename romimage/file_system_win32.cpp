#include <windows.h>
// after windows.h, which they need
#include <io.h>
#include <share.h>

#include <system_error>

#include "romimage/file_system.h"

namespace romimage {

std::FILE* OpenRegularFile(const std::filesystem::path& path, FileUse use) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (!error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    return nullptr;
  }
  std::FILE* file = nullptr;
  switch (use) {
    case FileUse::kReadSharingNothing:
      file = _wfsopen(path.c_str(), L"rb", _SH_DENYRW);
      break;
    case FileUse::kRead:
      file = _wfopen(path.c_str(), L"rb");
      break;
    case FileUse::kWrite:
      file = _wfopen(path.c_str(), L"wb");
      break;
  }
  // A device name (CON, NUL, COM1) is no file on a disk.
  if (file != nullptr &&
      GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != FILE_TYPE_DISK) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}

long long FileLength(std::FILE* file) {
  if (_fseeki64(file, 0, SEEK_END) != 0) {
    return -1;
  }
  const long long length = _ftelli64(file);
  std::rewind(file);
  return length;
}

bool SyncToDisk(std::FILE* file) {
  return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool ResolveWriteTarget(const std::filesystem::path& path, std::filesystem::path& target) {
  // A read-only file refuses MoveFileExW as it refuses a direct write.
  target = path;
  return true;
}

bool ReplaceAtomically(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MoveFileExW(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool PlaceAsNew(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
}

}  // namespace romimage
