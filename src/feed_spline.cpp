#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "defs.hpp"

bool feed_spline(std::FILE *spline, int curve_fd, const fftw_complex *spectrum,
                 int n, char *curve, std::size_t *curve_len, bool *too_long) {
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

  char points[point_buf_bytes];
  int next_bin = 0;
  std::size_t ready =
      format_points(spectrum, n, &next_bin, points, sizeof points);
  std::size_t sent = 0;
  bool all_taken = ready == 0;
  bool feeding = !all_taken;
  bool reading = true;
  if (!feeding)
    end_points();
  *curve_len = 0;
  *too_long = false;
  long lines = 0;
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
      const ssize_t w = write(to, points + sent, ready - sent);
      if (w > 0) {
        sent += static_cast<std::size_t>(w);
        if (sent == ready) {
          ready = format_points(spectrum, n, &next_bin, points, sizeof points);
          sent = 0;
          all_taken = ready == 0;
          feeding = !all_taken;
        }
      } else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK &&
                 errno != EINTR) {
        // A pipe that spline no longer reads (EPIPE) ends the feeding; the
        // caller reports the points it did not take.
        feeding = false;
      }
      if (!feeding)
        end_points();
    }
    if (fds[0].revents != 0) {
      char buf[4096];
      const ssize_t r = read(curve_fd, buf, sizeof buf);
      if (r > 0) {
        const auto got = static_cast<std::size_t>(r);
        if (*curve_len < max_curve_bytes) {
          const std::size_t room = max_curve_bytes - *curve_len;
          std::memcpy(curve + *curve_len, buf, got < room ? got : room);
        }
        *curve_len += got;
        for (std::size_t i = 0; i < got; i++)
          lines += buf[i] == '\n' ? 1 : 0;
        // Past a curve's lines or bytes, what spline prints is no curve,
        // however long it goes on: we stop here, and the caller closes our
        // read end, so that spline's next write fails and ends it.
        if (lines > curve_points || *curve_len > max_curve_bytes) {
          *too_long = true;
          reading = false;
          feeding = false;
        }
      } else if (r == 0) {
        reading = false;
      } else if (errno != EINTR && errno != EAGAIN) {
        std::perror("error do_spline: reading the curve");
        std::exit(1);
      }
    }
  }
  return all_taken;
}
