// Reads and writes that ride over what a descriptor may do to them: a
// signal, a short write, and a pipe or socket that another process sharing
// it made non-blocking (we wait for it rather than fail).
#include <cerrno>

#include <poll.h>
#include <unistd.h>

#include "plot.hpp"

namespace {

// Waits until fd is ready for `events`; an error shows at the next call.
void wait_ready(int fd, short events) {
  pollfd p = {fd, events, 0};
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

} // namespace

ssize_t read_some(int fd, char *buf, std::size_t size) {
  for (;;) {
    const ssize_t n = read(fd, buf, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      wait_ready(fd, POLLIN);
      continue;
    }
    return n;
  }
}

int write_all(int fd, const char *data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      wait_ready(fd, POLLOUT);
      continue;
    }
    if (n < 0)
      return errno;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}
