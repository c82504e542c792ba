#include <cmath>

#include "defs.hpp"

void calc_band_rms(const fftw_complex *out, band_rms *levels) {
  constexpr int bands = 4;
  constexpr int first[bands] = {sub_first, low_first, mid_first, high_first};
  constexpr int last[bands] = {sub_last, low_last, mid_last, high_last};
  double *const level[bands] = {&levels->sub, &levels->low, &levels->mid,
                                &levels->high};
  for (int b = 0; b < bands; b++) {
    double s = 0.0;
    for (int k = first[b]; k <= last[b]; k++)
      s += out[k][0] * out[k][0] + out[k][1] * out[k][1];
    *level[b] = std::sqrt(s / band_divisor);
  }
}
