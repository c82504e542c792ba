#include <cmath>

#include "defs.hpp"

void calc_band_rms(const fftw_complex *out, band_rms *levels) {
  constexpr int bands = 4;
  constexpr int first[bands] = {sub_first, low_first, mid_first, high_first};
  constexpr int last[bands] = {sub_last, low_last, mid_last, high_last};
  double *const level[bands] = {&levels->sub, &levels->low, &levels->mid,
                                &levels->high};
  for (int b = 0; b < bands; b++) {
    // Four running sums of squared real parts and four of imaginary parts,
    // each over every fourth bin, so that the additions do not wait on each
    // other. Summed in this fixed order, the levels come out the same, to
    // the last bit, whether the compiler vectorises the loop or not.
    int k = first[b];
    double re[4] = {0.0, 0.0, 0.0, 0.0};
    double im[4] = {0.0, 0.0, 0.0, 0.0};
    for (; k + 3 <= last[b]; k += 4)
      for (int j = 0; j < 4; j++) {
        re[j] += out[k + j][0] * out[k + j][0];
        im[j] += out[k + j][1] * out[k + j][1];
      }
    double s = ((re[0] + re[1]) + (re[2] + re[3])) +
               ((im[0] + im[1]) + (im[2] + im[3]));
    for (; k <= last[b]; k++)
      s += out[k][0] * out[k][0] + out[k][1] * out[k][1];
    *level[b] = std::sqrt(s / band_divisor);
  }
}
