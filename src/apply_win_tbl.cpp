#include "defs.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void apply_win_tbl(fftw_complex *buf, const double *win, int N) {
  int i = 0;
#if defined(__SSE2__)
  // Two entries per step, each loaded and stored whole; only the low
  // (real) half is multiplied, the imaginary half is put back as it was.
  for (; i + 2 <= N; i += 2) {
    const __m128d w = _mm_loadu_pd(win + i);
    const __m128d x0 = _mm_loadu_pd(buf[i]);
    const __m128d x1 = _mm_loadu_pd(buf[i + 1]);
    _mm_storeu_pd(buf[i], _mm_move_sd(x0, _mm_mul_sd(x0, w)));
    _mm_storeu_pd(buf[i + 1],
                  _mm_move_sd(x1, _mm_mul_sd(x1, _mm_unpackhi_pd(w, w))));
  }
#endif
  for (; i < N; i++)
    buf[i][0] *= win[i];
}
