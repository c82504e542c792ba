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
  // A write cut short by a full file system stops where the space it could
  // allocate ends, at a block boundary, and leaves no block free. A curve
  // that happens to end exactly there on a file system it just filled is
  // also refused: a false alarm is better than a truncated curve passing.
  struct statvfs fs {};
  if (after < 0 || fstatvfs(1, &fs) == -1 || fs.f_frsize == 0)
    return;
  const bool no_room = geteuid() == 0 ? fs.f_bfree == 0 : fs.f_bavail == 0;
  if (no_room && after % static_cast<long long>(fs.f_frsize) == 0) {
    std::fprintf(stderr,
                 "error do_spline: \"%s\" could not write its whole curve: "
                 "%s\n",
                 spline_cmd, std::strerror(ENOSPC));
    std::exit(1);
  }
}
