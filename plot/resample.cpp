// A table row on the collection's grid: its sort key, its curves resampled
// (on the companions' rate grid) and scaled, and the 16-bit form in which
// rows wait for their rank.
#include <algorithm>
#include <cmath>
#include <limits>

#include "plot.hpp"

namespace {

// The 16-bit code of a value that is not drawn.
constexpr std::uint16_t blank_code = 0xffff;
constexpr float code_scale = 65534.0F;

} // namespace

float peak_rate(const double *values, double xmax) {
  int best = peak_from;
  for (int j = peak_from + 1; j < curve_points; j++)
    if (values[j] > values[best])
      best = j;
  return static_cast<float>(best * xmax / (curve_points - 1));
}

void resample_row(const double *values, double xmax, float *grid) {
  double column[grid_columns];
  for (int k = 0; k < curve_count; k++) {
    const double *v = values + static_cast<std::ptrdiff_t>(k) * curve_points;
    double peak = v[peak_from];
    for (int j = peak_from + 1; j < curve_points; j++)
      peak = std::fmax(peak, v[j]);
    resample_curve(v, xmax, grid_columns, column);
    float *out = grid + static_cast<std::ptrdiff_t>(k) * grid_columns;
    for (int c = 0; c < grid_columns; c++) {
      // A curve with no positive peak (silence) stays at 0.
      const double scaled = peak > 0 ? column[c] / peak : 0;
      out[c] = std::isnan(column[c])
                   ? std::numeric_limits<float>::quiet_NaN()
                   : static_cast<float>(std::fmin(1.0, std::fmax(0.0, scaled)));
    }
  }
}

void pack_row(const float *grid, std::uint16_t *packed) {
  for (int i = 0; i < grid_values; i++)
    packed[i] =
        std::isnan(grid[i])
            ? blank_code
            : static_cast<std::uint16_t>(std::lround(grid[i] * code_scale));
}

void unpack_row(const std::uint16_t *packed, float *grid) {
  for (int i = 0; i < grid_values; i++)
    grid[i] = packed[i] == blank_code
                  ? std::numeric_limits<float>::quiet_NaN()
                  : static_cast<float>(packed[i]) / code_scale;
}
