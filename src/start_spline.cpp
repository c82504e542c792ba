#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "defs.hpp"

std::FILE *start_spline(int *curve_fd) {
  // spline exits 0 when it cannot write its curve, so it writes into a pipe
  // that we read, and we write the curve out ourselves, checking each
  // write. A pipe rather than a temporary file: it needs no room in TMPDIR
  // and no writable file system at all (a full /tmp would otherwise fail
  // runs whose own output has room), and what a broken spline prints
  // endlessly costs no disk. feed_spline reads it while it feeds the
  // points, so neither side can block the other.
  //
  // Our standard output is set aside first: were it closed, the pipe would
  // take its place.
  const int saved = fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (saved == -1) {
    std::perror("error do_spline: standard output");
    std::exit(1);
  }
  int ends[2];
  if (pipe(ends) == -1) {
    std::perror("error do_spline: pipe");
    std::exit(1);
  }
  // Closed on exec: spline holds the write end only as its standard
  // output, and no later command inherits either end.
  fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  fcntl(ends[1], F_SETFD, FD_CLOEXEC);
  if (dup2(ends[1], 1) == -1) {
    std::perror("error do_spline: dup2");
    std::exit(1);
  }
  // A fixed command line, no user input: the shell only finds spline.
  std::FILE *spline = popen(spline_cmd, "w"); // NOLINT(cert-env33-c)
  if (dup2(saved, 1) == -1) {
    std::perror("error do_spline: dup2");
    std::exit(1);
  }
  close(saved);
  close(ends[1]);
  *curve_fd = ends[0];
  return spline;
}
