#include <cstdio>
#include <cstdlib>

#include "defs.hpp"

void assert_fail(const char *expr, const char *file, int line,
                 const char *func) {
  // Same layout as the C library's assertion report, so that scripts and
  // people who know that message recognise this one.
  std::fprintf(stderr, "bandsway: %s:%d: %s: Assertion `%s' failed.\n", file,
               line, func, expr);
  std::abort();
}
