#include "defs.hpp"

void destroy_plans(fftw_plan sum_plan, fftw_plan tilt_plan,
                   fftw_plan alt_plan) {
  fftw_destroy_plan(sum_plan);
  fftw_destroy_plan(tilt_plan);
  fftw_destroy_plan(alt_plan);
}
