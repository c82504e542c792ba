#include "defs.hpp"

void apply_win_tbl(fftw_complex *buf, const double *win, int N) {
  // A plain loop: the compiler vectorises it as well as hand-written SSE2
  // did (bench/bench_stages), and it builds the same on every processor.
  for (int i = 0; i < N; i++)
    buf[i][0] *= win[i];
}
