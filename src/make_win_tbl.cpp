#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "defs.hpp"

double *make_win_tbl(int N) {
  const std::size_t count = N > 0 ? static_cast<std::size_t>(N) : 1;
  auto *win = static_cast<double *>(std::malloc(count * sizeof(double)));
  if (win == nullptr) {
    std::perror("malloc for win_tbl");
    std::exit(1);
  }
  // 6.283 rather than 2*pi, and N rather than N - 1: curves made with this
  // window must stay comparable with those already stored.
  for (int i = 0; i < N; i++) {
    const double q = static_cast<double>(i) / N;
    const double x = q * 6.283;
    win[i] = std::cos(x) * (-0.5) + 0.5;
  }
  return win;
}
