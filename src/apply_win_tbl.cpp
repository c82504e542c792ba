#include "defs.hpp"

void apply_win_tbl(fftw_complex *buf, const double *win, int N) {
  for (int i = 0; i < N; i++)
    buf[i][0] *= win[i];
}
