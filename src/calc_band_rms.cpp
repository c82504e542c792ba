#include <cmath>

#include "defs.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void calc_band_rms(const fftw_complex *out, band_rms *levels) {
  constexpr int bands = 4;
  constexpr int first[bands] = {sub_first, low_first, mid_first, high_first};
  constexpr int last[bands] = {sub_last, low_last, mid_last, high_last};
  double *const level[bands] = {&levels->sub, &levels->low, &levels->mid,
                                &levels->high};
  for (int b = 0; b < bands; b++) {
    // Several running sums instead of one, so that the additions do not
    // wait on each other; the total differs from a single running sum only
    // in the last bits.
    int k = first[b];
    double s = 0.0;
#if defined(__SSE2__)
    // Each lane pair holds (re*re, im*im) sums of every fourth bin.
    __m128d acc[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(),
                      _mm_setzero_pd()};
    for (; k + 3 <= last[b]; k += 4) {
      for (int j = 0; j < 4; j++) {
        const __m128d x = _mm_loadu_pd(out[k + j]);
        acc[j] = _mm_add_pd(acc[j], _mm_mul_pd(x, x));
      }
    }
    const __m128d sum =
        _mm_add_pd(_mm_add_pd(acc[0], acc[1]), _mm_add_pd(acc[2], acc[3]));
    s = _mm_cvtsd_f64(sum) + _mm_cvtsd_f64(_mm_unpackhi_pd(sum, sum));
#else
    double part[4] = {0.0, 0.0, 0.0, 0.0};
    for (; k + 3 <= last[b]; k += 4)
      for (int j = 0; j < 4; j++)
        part[j] +=
            out[k + j][0] * out[k + j][0] + out[k + j][1] * out[k + j][1];
    s = (part[0] + part[1]) + (part[2] + part[3]);
#endif
    for (; k <= last[b]; k++)
      s += out[k][0] * out[k][0] + out[k][1] * out[k][1];
    *level[b] = std::sqrt(s / band_divisor);
  }
}
