#include <cstdio>
#include <cstdlib>

#include "defs.hpp"

int calc_chunk_metrics(fftw_complex *sum_in, fftw_complex *tilt_in,
                       fftw_complex *alt_in) {
  auto *in = static_cast<fftw_complex *>(fftw_malloc(chunk_buf_bytes));
  ALWAYS_ASSERT(in != NULL);
  auto *out = static_cast<fftw_complex *>(fftw_malloc(chunk_buf_bytes));
  ALWAYS_ASSERT(out != NULL);
  // FFTW_ESTIMATE plans without trial runs and leaves the buffers alone.
  fftw_plan plan =
      fftw_plan_dft_1d(chunk_frames, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
  if (plan == nullptr) {
    std::fprintf(stderr, "bandsway: cannot plan the %d-point chunk transform\n",
                 chunk_frames);
    std::exit(1);
  }
  double *win_tbl = make_win_tbl(chunk_frames);

  unsigned char chunk[chunk_bytes];
  band_rms levels{};
  int i = 0;
  long long dropped = 0;
  while (read_from_fd(0, chunk, chunk_bytes) == chunk_bytes) {
    // The series have room for max_chunks entries; later chunks are still
    // read, so that the writer upstream is not cut off, but not analysed.
    if (i == max_chunks) {
      dropped++;
      continue;
    }
    pcm_to_complex(chunk, in);
    apply_win_tbl(in, win_tbl, chunk_frames);
    fftw_execute(plan);
    calc_band_rms(out, &levels);
    store_chunk_metrics(&levels, sum_in, tilt_in, alt_in, i);
    i++;
  }
  if (dropped > 0)
    std::fprintf(stderr,
                 "bandsway: warning: input longer than %d chunks; "
                 "only the first %d were analysed, %lld dropped\n",
                 max_chunks, max_chunks, dropped);

  fftw_free(in);
  fftw_free(out);
  fftw_destroy_plan(plan);
  std::free(win_tbl);
  return i;
}
