#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <poll.h>
#include <unistd.h>

#include "defs.hpp"

int read_from_fd(int fd, unsigned char *buf, int len) {
  int got = 0;
  while (got < len) {
    const ssize_t r = read(fd, buf + got, static_cast<std::size_t>(len - got));
    if (r == 0) {
      fill_zeros(len, buf, got);
      return got;
    }
    // A signal caught while the read waited (a debugger or profiler can
    // send one) interrupts it without losing data: read again.
    if (r < 0 && errno == EINTR)
      continue;
    // Standard input may be a pipe or socket that another process sharing
    // it made non-blocking: wait for data instead of failing.
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd in = {fd, POLLIN, 0};
      poll(&in, 1, -1);
      continue;
    }
    if (r < 0) {
      std::perror("error read_from_fd");
      std::exit(1);
    }
    got += static_cast<int>(r);
  }
  return got;
}
