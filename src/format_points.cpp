#include <cmath>
#include <cstdio>

#include "defs.hpp"

std::string format_points(const fftw_complex *spectrum, int n) {
  std::string points;
  // Bins 0 and 1 (the mean and the slowest fluctuation) are written as 0 so
  // that they do not swamp the curve; bins from n/2 up mirror those below.
  for (int k = 0; k < n / 2; k++) {
    const double x = static_cast<double>(k) / n;
    double y = 0.0;
    if (k >= 2)
      y = std::sqrt(spectrum[k][0] * spectrum[k][0] +
                    spectrum[k][1] * spectrum[k][1]);
    // "%f" of the largest double takes 316 characters.
    char line[2 * 320 + 2];
    const int len = std::snprintf(line, sizeof line, "%f %f\n", x, y);
    ALWAYS_ASSERT(len > 0 && static_cast<std::size_t>(len) < sizeof line);
    points.append(line, static_cast<std::size_t>(len));
  }
  return points;
}
