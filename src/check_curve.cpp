#include <cstdio>
#include <cstdlib>

#include "defs.hpp"

void check_curve(const char *curve, std::size_t len) {
  // A spline that was cut off, or printed something else than a curve,
  // may still exit 0: only 256 whole lines pass for one.
  if (len > max_curve_bytes) {
    std::fprintf(stderr,
                 "error do_spline: \"%s\" printed more than %zu bytes, not "
                 "a curve of %d lines\n",
                 spline_cmd, max_curve_bytes, curve_points);
    std::exit(1);
  }
  long lines = 0;
  for (std::size_t i = 0; i < len; i++)
    lines += curve[i] == '\n' ? 1 : 0;
  const bool whole = len == 0 || curve[len - 1] == '\n';
  if (lines == curve_points && whole)
    return;
  std::fprintf(stderr,
               "error do_spline: \"%s\" printed %ld line%s%s, not the %d of "
               "a curve\n",
               spline_cmd, lines, lines == 1 ? "" : "s",
               whole ? "" : " and a part of one", curve_points);
  std::exit(1);
}
