// Temporary files that nothing else sees and nothing can leave behind: each
// is unlinked as soon as it is made, and goes with its last descriptor.
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "companion.hpp"

std::string temp_dir() {
  const char *env = std::getenv("TMPDIR");
  std::string dir = env != nullptr && *env != '\0' ? env : "/tmp";
  while (dir.size() > 1 && dir.back() == '/')
    dir.pop_back();
  return dir;
}

int unlinked_temp(const std::string &dir) {
  std::string name = dir + "/bandsway.XXXXXX";
  // A stop between the two calls would leave the file: it waits.
  hold_stop_signals(true);
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  const int err = errno;
  if (fd >= 0)
    unlink(name.c_str());
  hold_stop_signals(false);
  errno = err;
  return fd;
}
