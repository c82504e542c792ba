// Reads and writes that ride over what a descriptor may do to them: a
// signal, a short count, and a pipe or socket that another process sharing
// it made non-blocking (we wait for it rather than fail).
#include <cerrno>

#include <poll.h>
#include <unistd.h>

#include "companion.hpp"

namespace {

// Waits until fd is ready for `events`; an error shows at the next call.
void wait_ready(int fd, short events) {
  pollfd p = {fd, events, 0};
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

} // namespace

ssize_t read_some(int fd, char *buf, std::size_t size) {
  for (;;) {
    const ssize_t n = read(fd, buf, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && would_block(errno)) {
      wait_ready(fd, POLLIN);
      continue;
    }
    return n;
  }
}

ssize_t read_full(int fd, char *buf, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = read_some(fd, buf + got, size - got);
    if (n < 0)
      return -1;
    if (n == 0)
      break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool pread_full(int fd, std::uint64_t at, std::uint64_t n, std::string *out) {
  out->assign(n, '\0');
  std::uint64_t got = 0;
  while (got < n) {
    const ssize_t r =
        pread(fd, &(*out)[got], n - got, static_cast<off_t>(at + got));
    if (r < 0 && errno == EINTR)
      continue;
    if (r < 0)
      return false;
    if (r == 0)
      break;
    got += static_cast<std::uint64_t>(r);
  }
  out->resize(got);
  return true;
}

int read_to_end(int fd, std::string *text, std::size_t cap) {
  char buf[16384];
  while (text->size() <= cap) {
    const ssize_t n = read_some(fd, buf, sizeof buf);
    if (n < 0)
      return errno;
    if (n == 0)
      break;
    text->append(buf, static_cast<std::size_t>(n));
  }
  return 0;
}

int write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && would_block(errno)) {
      wait_ready(fd, POLLOUT);
      continue;
    }
    if (n < 0)
      return errno;
    if (n == 0)
      return EIO;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}
