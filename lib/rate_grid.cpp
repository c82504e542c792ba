// Curves of any length on one grid of rates: a row's points lie evenly up
// to a rate that depends on its chunk count, the grid's columns do not.
#include <algorithm>
#include <cmath>
#include <limits>

#include "companion.hpp"

void resample_curve(const double *v, double xmax, int columns, double *out) {
  int next = 0; // the first point not yet past a column
  for (int c = 0; c < columns; c++) {
    // The column's centre, and where it falls between the curve's points.
    const double hz = (c + 0.5) * grid_hz / columns;
    if (hz > xmax) {
      out[c] = std::numeric_limits<double>::quiet_NaN();
      continue;
    }
    const double at = hz / xmax * (curve_points - 1);
    const int j = std::min(static_cast<int>(at), curve_points - 2);
    const double f = at - j;
    double x = v[j] * (1 - f) + v[j + 1] * f;
    // A narrow peak between two column centres still shows at its height.
    const double end = (c + 1) * grid_hz / columns;
    for (; next < curve_points && next * xmax / (curve_points - 1) < end;
         next++)
      x = std::fmax(x, v[next]);
    out[c] = x;
  }
}
