#include "defs.hpp"

void free_bufs(fftw_complex *sum_in, fftw_complex *sum_out,
               fftw_complex *tilt_in, fftw_complex *tilt_out,
               fftw_complex *alt_in, fftw_complex *alt_out) {
  fftw_free(sum_in);
  fftw_free(sum_out);
  fftw_free(tilt_in);
  fftw_free(tilt_out);
  fftw_free(alt_in);
  fftw_free(alt_out);
}
