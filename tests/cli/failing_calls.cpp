// LD_PRELOAD shim for the tests of what the disk and other programs do to our files:
// - the calls named in VL_FAIL_CALLS ("flock", "fdatasync", "close", comma-separated) fail
//   for the file VL_FAIL_FILE names, as they do on a network share that has lost the
//   server, is over its quota, or takes no locks; a failing close still lets the descriptor
//   go, as the kernel's does;
// - VL_TAKE_NAME (a file name's beginning): the first time a finished file is to take a name
//   that begins so, another run takes that name a moment before, as two runs in the same
//   second that chose one name would.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool Fails(const char* call, int fd) {
  const char* calls = std::getenv("VL_FAIL_CALLS");
  const char* file = std::getenv("VL_FAIL_FILE");
  if (calls == nullptr || file == nullptr || fd < 0) {
    return false;
  }
  const std::string list = std::string(",") + calls + ",";
  if (list.find(std::string(",") + call + ",") == std::string::npos) {
    return false;
  }
  char target[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
  return length > 0 && std::string(target, static_cast<std::size_t>(length)) == file;
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void TakeFirst(const char* to) {
  static std::atomic<bool> taken{false};
  const char* prefix = std::getenv("VL_TAKE_NAME");
  if (prefix == nullptr || to == nullptr || taken) {
    return;
  }
  const char* slash = std::strrchr(to, '/');
  const char* name = slash == nullptr ? to : slash + 1;
  if (std::strncmp(name, prefix, std::strlen(prefix)) != 0 || taken.exchange(true)) {
    return;
  }
  if (std::FILE* file = std::fopen(to, "wxe"); file != nullptr) {
    std::fputs("another run's file\n", file);
    std::fclose(file);
  }
}

}  // namespace

extern "C" int rename(const char* from, const char* to) {
  TakeFirst(to);
  return Next<int (*)(const char*, const char*)>("rename")(from, to);
}

extern "C" int renameat2(int fromDir, const char* from, int toDir, const char* to,
                         unsigned int flags) {
  TakeFirst(to);
  return Next<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2")(
      fromDir, from, toDir, to, flags);
}

extern "C" int link(const char* from, const char* to) {
  TakeFirst(to);
  return Next<int (*)(const char*, const char*)>("link")(from, to);
}

extern "C" int flock(int fd, int operation) {
  if (Fails("flock", fd)) {
    errno = ENOLCK;
    return -1;
  }
  return Next<int (*)(int, int)>("flock")(fd, operation);
}

extern "C" int fdatasync(int fd) {
  if (Fails("fdatasync", fd)) {
    errno = EIO;
    return -1;
  }
  return Next<int (*)(int)>("fdatasync")(fd);
}

extern "C" int close(int fd) {
  const bool fails = Fails("close", fd);
  const int closed = Next<int (*)(int)>("close")(fd);
  if (fails && closed == 0) {
    errno = EIO;
    return -1;
  }
  return closed;
}
