#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <unistd.h>

#include "defs.hpp"

void write_stdout(const char *buf, std::size_t len) {
  while (len > 0) {
    const ssize_t w = write(1, buf, len);
    if (w > 0) {
      // A short write (a pipe, a signal, a file system nearly full): the
      // next write takes the rest or says why it cannot.
      buf += w;
      len -= static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR)
      continue;
    // Standard output may be a pipe that another process made
    // non-blocking: wait for room instead of failing.
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd out = {1, POLLOUT, 0};
      poll(&out, 1, -1);
      continue;
    }
    std::fprintf(stderr,
                 "error do_spline: cannot write the curve to standard "
                 "output: %s\n",
                 w < 0 ? std::strerror(errno) : "nothing was written");
    std::exit(1);
  }
}
