#include <cmath>
#include <cstdio>

#include "defs.hpp"

std::size_t format_points(const fftw_complex *spectrum, int n, int *k,
                          char *buf, std::size_t cap) {
  std::size_t used = 0;
  // Bins 0 and 1 (the mean and the slowest fluctuation) are written as 0 so
  // that they do not swamp the curve; bins from n/2 up mirror those below.
  for (; *k < n / 2; ++*k) {
    const double x = static_cast<double>(*k) / n;
    double y = 0.0;
    if (*k >= 2)
      y = std::sqrt(spectrum[*k][0] * spectrum[*k][0] +
                    spectrum[*k][1] * spectrum[*k][1]);
    const int len = std::snprintf(buf + used, cap - used, "%f %f\n", x, y);
    ALWAYS_ASSERT(len > 0);
    // A line that does not fit waits for the next call; an empty buffer
    // must take one, or the points would seem to end here.
    if (static_cast<std::size_t>(len) >= cap - used) {
      ALWAYS_ASSERT(used > 0);
      break;
    }
    used += static_cast<std::size_t>(len);
  }
  return used;
}
