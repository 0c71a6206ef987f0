// A close(2) that fails as Linux's may, preloaded into tspgen: the first
// close of the file named f frees its descriptor and reports EIO, and
// meanwhile another file has taken the name f, with a second name g, as a
// user's rm and echo might.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern "C" int close(int fd) {
  static const auto real_close =
      reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "close"));
  struct stat closed {};
  struct stat named {};
  // Once only: the shell below and what it starts close as usual.
  if (!std::getenv("LD_PRELOAD") || fstat(fd, &closed) != 0 ||
      stat("f", &named) != 0 || closed.st_ino != named.st_ino)
    return real_close(fd);
  unsetenv("LD_PRELOAD");
  real_close(fd);
  if (std::system("rm f; echo precious >f; ln f g") != 0) std::abort();
  errno = EIO;
  return -1;
}
