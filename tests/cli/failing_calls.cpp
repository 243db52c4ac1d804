// LD_PRELOAD shim for the log's tests: the calls named in VL_FAIL_CALLS ("flock",
// "fdatasync", "close", comma-separated) fail for the file VL_FAIL_FILE names, as they do
// on a network share that has lost the server, is over its quota, or takes no locks. A
// failing close still lets the descriptor go, as the kernel's does.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

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
