#include <cmath>

#include "defs.hpp"

void store_chunk_metrics(const band_rms *levels, fftw_complex *sum_in,
                         fftw_complex *tilt_in, fftw_complex *alt_in, int i) {
  // The comparisons are strict: exactly 0.001 and exactly 20 stay as they
  // are.
  double lo = levels->sub + levels->low;
  if (std::fabs(lo) < min_level_sum)
    lo = min_level_sum;
  const double hi = levels->mid + levels->high;
  double den = levels->low + levels->high;
  if (std::fabs(den) < min_level_sum)
    den = min_level_sum;

  sum_in[i][0] = hi + lo;
  sum_in[i][1] = 0.0;

  double t = hi / lo;
  if (std::fabs(t) > max_ratio)
    t = max_ratio;
  tilt_in[i][0] = t;
  tilt_in[i][1] = 0.0;

  double r = (levels->sub + levels->mid) / den;
  if (std::fabs(r) > max_ratio)
    r = max_ratio;
  alt_in[i][0] = r;
  alt_in[i][1] = 0.0;
}
