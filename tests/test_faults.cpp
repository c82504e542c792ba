// Failures the program cannot provoke from outside: allocations, plans and
// the pipe to spline that fail. This binary interposes fftw_malloc,
// fftw_plan_dft_1d and popen, so that the code under test, linked into it,
// calls the versions below; they fail on request and otherwise pass the
// call on.
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "defs.hpp"
#include "helpers.hpp"

namespace {

int malloc_calls = 0;
int fail_malloc_at = -1; // 0-based index of the call to fail
int fail_plan_of = -1;   // length of the plan to refuse
bool fail_popen = false;

template <typename F> F next_symbol(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" void *fftw_malloc(std::size_t n) {
  static auto real = next_symbol<void *(*)(std::size_t)>("fftw_malloc");
  if (malloc_calls++ == fail_malloc_at)
    return nullptr;
  return real(n);
}

extern "C" fftw_plan fftw_plan_dft_1d(int n, fftw_complex *in,
                                      fftw_complex *out, int sign,
                                      unsigned flags) {
  static auto real = next_symbol<fftw_plan (*)(
      int, fftw_complex *, fftw_complex *, int, unsigned)>("fftw_plan_dft_1d");
  if (n == fail_plan_of)
    return nullptr;
  return real(n, in, out, sign, flags);
}

extern "C" FILE *popen(const char *cmd, const char *mode) {
  static auto real =
      next_symbol<FILE *(*)(const char *, const char *)>("popen");
  if (fail_popen)
    return nullptr;
  return real(cmd, mode);
}

namespace {

void alloc_failing_at(int call) {
  malloc_calls = 0;
  fail_malloc_at = call;
  fftw_complex *b[6];
  alloc_bufs(&b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
}

} // namespace

TEST(FaultsDeathTest, FailedSeriesAllocationNamesTheBufferAndExits1) {
  EXPECT_EXIT(alloc_failing_at(0), testing::ExitedWithCode(1),
              "^bandsway: fftw_malloc for sum_in failed \\(1048576 bytes\\)");
  EXPECT_EXIT(alloc_failing_at(3), testing::ExitedWithCode(1),
              "fftw_malloc for tilt_out failed");
  EXPECT_EXIT(alloc_failing_at(5), testing::ExitedWithCode(1),
              "fftw_malloc for alt_out failed");
}

TEST(FaultsDeathTest, FailedSeriesPlanNamesThePlanAndExits1) {
  auto plan_refused = [] {
    fail_plan_of = 12;
    complex_buf b(12);
    fftw_plan p[3];
    make_plans(12, &p[0], &p[1], &p[2], b.data(), b.data(), b.data(), b.data(),
               b.data(), b.data());
  };
  EXPECT_EXIT(plan_refused(), testing::ExitedWithCode(1),
              "^bandsway: cannot plan sum_plan \\(12 points\\)");
}

TEST(FaultsDeathTest, ChunkBuffersAreAssertedEvenUnderNdebug) {
  complex_buf s(1);
  auto chunk_alloc_failing_at = [&](int call) {
    malloc_calls = 0;
    fail_malloc_at = call;
    calc_chunk_metrics(s.data(), s.data(), s.data());
  };
  EXPECT_DEATH(chunk_alloc_failing_at(0),
               "calc_chunk_metrics.cpp:[0-9]+: calc_chunk_metrics: "
               "Assertion `in != NULL' failed");
  EXPECT_DEATH(chunk_alloc_failing_at(1),
               "calc_chunk_metrics: Assertion `out != NULL' failed");
}

TEST(FaultsDeathTest, ChunkPlanFailureExits1) {
  complex_buf s(1);
  auto chunk_plan_refused = [&] {
    fail_plan_of = chunk_frames;
    calc_chunk_metrics(s.data(), s.data(), s.data());
  };
  EXPECT_EXIT(chunk_plan_refused(), testing::ExitedWithCode(1),
              "cannot plan the 11025-point chunk transform");
}

TEST(FaultsDeathTest, PipeFailureIsAssertedEvenUnderNdebug) {
  complex_buf s(4);
  auto no_pipe = [&] {
    fail_popen = true;
    do_spline(s.data(), 4, "sum");
  };
  EXPECT_DEATH(no_pipe(), "do_spline.cpp:[0-9]+: do_spline: Assertion "
                          "`spline != NULL' failed");
}
