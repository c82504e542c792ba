#include <cstdio>
#include <cstdlib>

#include "defs.hpp"

// bandsway: reads s16le stereo PCM on standard input and prints, through
// three runs of spline, the fluctuation spectra of the sum, tilt and alt
// series of its quarter-second chunks.
int main(int argc, char **argv) {
  parse_args(argc, argv);
  check_std_fds();

  fftw_complex *sum_in = nullptr;
  fftw_complex *sum_out = nullptr;
  fftw_complex *tilt_in = nullptr;
  fftw_complex *tilt_out = nullptr;
  fftw_complex *alt_in = nullptr;
  fftw_complex *alt_out = nullptr;
  alloc_bufs(&sum_in, &sum_out, &tilt_in, &tilt_out, &alt_in, &alt_out);

  const int n = calc_chunk_metrics(sum_in, tilt_in, alt_in);
  // No chunk means no series to transform: FFTW cannot plan 0 points, and
  // an empty input (often a decoder that failed upstream) is no result.
  if (n == 0) {
    std::fprintf(stderr,
                 "bandsway: no full chunk in the input (at least %d "
                 "bytes of s16le stereo PCM are needed)\n",
                 chunk_bytes);
    free_bufs(sum_in, sum_out, tilt_in, tilt_out, alt_in, alt_out);
    return 1;
  }
  // spline draws nothing through fewer than two points: say so before
  // running it three times for nothing.
  if (n < min_curve_chunks) {
    std::fprintf(stderr,
                 "bandsway: input too short for a curve: %d chunk%s, at "
                 "least %d (one second) needed\n",
                 n, n == 1 ? "" : "s", min_curve_chunks);
    free_bufs(sum_in, sum_out, tilt_in, tilt_out, alt_in, alt_out);
    return 1;
  }

  fftw_plan sum_plan = nullptr;
  fftw_plan tilt_plan = nullptr;
  fftw_plan alt_plan = nullptr;
  make_plans(n, &sum_plan, &tilt_plan, &alt_plan, sum_in, tilt_in, alt_in,
             sum_out, tilt_out, alt_out);
  double *win_tbl = make_win_tbl(n);
  apply_win_tbl(sum_in, win_tbl, n);
  apply_win_tbl(tilt_in, win_tbl, n);
  apply_win_tbl(alt_in, win_tbl, n);
  fftw_execute(sum_plan);
  fftw_execute(tilt_plan);
  fftw_execute(alt_plan);

  // Each run is told its curve's name: only the caller knows which it is,
  // and a message about a bad line must say where to look.
  do_spline(sum_out, n, "sum");
  do_spline(tilt_out, n, "tilt");
  do_spline(alt_out, n, "alt");

  free_bufs(sum_in, sum_out, tilt_in, tilt_out, alt_in, alt_out);
  std::free(win_tbl);
  destroy_plans(sum_plan, tilt_plan, alt_plan);
  return 0;
}
