#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/statvfs.h>
#include <unistd.h>

#include "defs.hpp"

void check_stdout_grew(long long before, int points) {
  // With fewer than two points spline prints nothing; a pipe or device
  // (before == -1) has no mark to compare.
  if (before < 0 || points < 2)
    return;
  const long long after = mark_stdout();
  if (after == before) {
    std::fprintf(stderr,
                 "error do_spline: \"%s\" wrote no curve: the output did "
                 "not grow\n",
                 spline_cmd);
    std::exit(1);
  }
  struct statvfs fs {};
  const bool have_fs = after >= 0 && fstatvfs(1, &fs) == 0 && fs.f_frsize > 0;
  const bool no_room =
      have_fs && (geteuid() == 0 ? fs.f_bfree == 0 : fs.f_bavail == 0);
  const char *cause =
      no_room ? std::strerror(ENOSPC) : "the curve was cut short";

  // Read back, spline's whole curve is exactly curve_points lines.
  bool whole_last_line = false;
  const long long lines =
      after < 0 ? -1 : count_out_lines(before, after, &whole_last_line);
  if (lines >= 0) {
    if (lines == curve_points && whole_last_line)
      return;
    std::fprintf(stderr,
                 "error do_spline: \"%s\" wrote %lld%s of its %d lines: %s\n",
                 spline_cmd, lines, whole_last_line ? "" : " and a part",
                 curve_points, cause);
    std::exit(1);
  }

  // Not readable: a write cut short by a full file system stops where the
  // space it could allocate ends, at a block boundary, and leaves no block
  // free. A curve that happens to end exactly there on a file system it
  // just filled is refused too: a false alarm is better than a truncated
  // curve passing.
  if (no_room && after % static_cast<long long>(fs.f_frsize) == 0) {
    std::fprintf(stderr,
                 "error do_spline: \"%s\" could not write its whole curve: "
                 "%s\n",
                 spline_cmd, cause);
    std::exit(1);
  }
}
