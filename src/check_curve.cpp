#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "defs.hpp"

void check_curve(const std::string &curve) {
  // A spline that was cut off, or printed something else than a curve,
  // may still exit 0: only 256 whole lines pass for one.
  if (curve.size() >= max_curve_bytes) {
    std::fprintf(stderr,
                 "error do_spline: \"%s\" printed more than %zu bytes, not "
                 "a curve of %d lines\n",
                 spline_cmd, max_curve_bytes, curve_points);
    std::exit(1);
  }
  const auto lines = std::count(curve.begin(), curve.end(), '\n');
  const bool whole = curve.empty() || curve.back() == '\n';
  if (lines == curve_points && whole)
    return;
  std::fprintf(stderr,
               "error do_spline: \"%s\" printed %ld line%s%s, not the %d of "
               "a curve\n",
               spline_cmd, static_cast<long>(lines), lines == 1 ? "" : "s",
               whole ? "" : " and a part of one", curve_points);
  std::exit(1);
}
