#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "defs.hpp"

bool feed_spline(std::FILE *spline, int curve_fd, const std::string &points,
                 std::string *curve) {
  // Our end of the point pipe does not block: a write takes what the pipe
  // has room for, and we go back to reading whatever spline prints
  // meanwhile, so that a command that writes before it has read everything
  // cannot stall both of us. Nothing goes through the stdio stream itself.
  const int to = fileno(spline);
  const int flags = fcntl(to, F_GETFL);
  if (flags == -1 || fcntl(to, F_SETFL, flags | O_NONBLOCK) == -1) {
    std::perror("error do_spline: fcntl");
    std::exit(1);
  }
  // spline sees the end of its input only when our write end closes, but
  // pclose, which closes it, also waits for spline, and spline may wait
  // for us to read. /dev/null put in its place closes it and leaves the
  // stream whole for pclose.
  auto end_points = [to] {
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd == -1 || dup2(null_fd, to) == -1) {
      std::perror("error do_spline: /dev/null");
      std::exit(1);
    }
    close(null_fd);
  };

  std::size_t sent = 0;
  bool feeding = true;
  bool reading = true;
  if (points.empty()) {
    feeding = false;
    end_points();
  }
  while (feeding || reading) {
    pollfd fds[2] = {{reading ? curve_fd : -1, POLLIN, 0},
                     {feeding ? to : -1, POLLOUT, 0}};
    if (poll(fds, 2, -1) == -1) {
      if (errno == EINTR)
        continue;
      std::perror("error do_spline: poll");
      std::exit(1);
    }
    if (fds[1].revents != 0) {
      const ssize_t w = write(to, points.data() + sent, points.size() - sent);
      if (w > 0)
        sent += static_cast<std::size_t>(w);
      // A pipe that spline no longer reads (EPIPE) ends the feeding; the
      // caller reports the points it did not take.
      else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK &&
               errno != EINTR)
        feeding = false;
      if (sent == points.size())
        feeding = false;
      if (!feeding)
        end_points();
    }
    if (fds[0].revents != 0) {
      char buf[4096];
      const ssize_t r = read(curve_fd, buf, sizeof buf);
      if (r > 0) {
        const std::size_t room = max_curve_bytes - curve->size();
        const auto got = static_cast<std::size_t>(r);
        curve->append(buf, got < room ? got : room);
      } else if (r == 0) {
        reading = false;
      } else if (errno != EINTR && errno != EAGAIN) {
        std::perror("error do_spline: reading the curve");
        std::exit(1);
      }
    }
  }
  return sent == points.size();
}
