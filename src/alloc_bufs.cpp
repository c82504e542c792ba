#include <cstdio>
#include <cstdlib>

#include "defs.hpp"

void alloc_bufs(fftw_complex **sum_in, fftw_complex **sum_out,
                fftw_complex **tilt_in, fftw_complex **tilt_out,
                fftw_complex **alt_in, fftw_complex **alt_out) {
  fftw_complex **const bufs[] = {sum_in,   sum_out, tilt_in,
                                 tilt_out, alt_in,  alt_out};
  const char *const names[] = {"sum_in",   "sum_out", "tilt_in",
                               "tilt_out", "alt_in",  "alt_out"};
  for (int b = 0; b < 6; b++) {
    *bufs[b] = static_cast<fftw_complex *>(fftw_malloc(series_buf_bytes));
    if (*bufs[b] == nullptr) {
      std::fprintf(stderr, "bandsway: fftw_malloc for %s failed (%zu bytes)\n",
                   names[b], series_buf_bytes);
      std::exit(1);
    }
  }
}
