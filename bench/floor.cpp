// The floor for bandsway's chunk loop: read 44,100-byte chunks from
// standard input and execute the same 11,025-point plan on each, nothing
// else. Whatever bandsway spends beyond this is overhead.
#include <cstdio>

#include "defs.hpp"

int main() {
  auto *in = static_cast<fftw_complex *>(fftw_malloc(chunk_buf_bytes));
  auto *out = static_cast<fftw_complex *>(fftw_malloc(chunk_buf_bytes));
  ALWAYS_ASSERT(in != NULL && out != NULL);
  fftw_plan plan =
      fftw_plan_dft_1d(chunk_frames, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
  ALWAYS_ASSERT(plan != NULL);
  for (int k = 0; k < chunk_frames; k++)
    in[k][0] = in[k][1] = 0.0;
  unsigned char chunk[chunk_bytes];
  long chunks = 0;
  while (read_from_fd(0, chunk, chunk_bytes) == chunk_bytes) {
    fftw_execute(plan);
    chunks++;
  }
  std::fprintf(stderr, "floor: %ld chunks\n", chunks);
  fftw_destroy_plan(plan);
  fftw_free(in);
  fftw_free(out);
  return 0;
}
