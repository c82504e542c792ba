#include <cstdio>
#include <cstdlib>

#include "defs.hpp"

void make_plans(int n, fftw_plan *sum_plan, fftw_plan *tilt_plan,
                fftw_plan *alt_plan, fftw_complex *sum_in,
                fftw_complex *tilt_in, fftw_complex *alt_in,
                fftw_complex *sum_out, fftw_complex *tilt_out,
                fftw_complex *alt_out) {
  fftw_plan *const plans[] = {sum_plan, tilt_plan, alt_plan};
  fftw_complex *const ins[] = {sum_in, tilt_in, alt_in};
  fftw_complex *const outs[] = {sum_out, tilt_out, alt_out};
  const char *const names[] = {"sum_plan", "tilt_plan", "alt_plan"};
  // The series are already filled: FFTW_ESTIMATE leaves them untouched.
  for (int p = 0; p < 3; p++) {
    *plans[p] =
        fftw_plan_dft_1d(n, ins[p], outs[p], FFTW_FORWARD, FFTW_ESTIMATE);
    if (*plans[p] == nullptr) {
      std::fprintf(stderr, "bandsway: cannot plan %s (%d points)\n", names[p],
                   n);
      std::exit(1);
    }
  }
}
