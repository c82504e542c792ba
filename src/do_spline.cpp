#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <sys/wait.h>

#include "defs.hpp"

void do_spline(const fftw_complex *spectrum, int n) {
  FILE *spline = popen(spline_cmd, "w");
  ALWAYS_ASSERT(spline != NULL);

  // Bins 0 and 1 (the mean and the slowest fluctuation) are written as 0 so
  // that they do not swamp the curve; bins from n/2 up mirror those below.
  for (int k = 0; k < n / 2; k++) {
    const double x = static_cast<double>(k) / n;
    double y = 0.0;
    if (k >= 2)
      y = std::sqrt(spectrum[k][0] * spectrum[k][0] +
                    spectrum[k][1] * spectrum[k][1]);
    std::fprintf(spline, "%f %f\n", x, y);
  }

  // A lost point or a command that did not run must not pass for a curve.
  const bool write_failed = std::ferror(spline) != 0;
  const int status = pclose(spline);
  if (status == -1) {
    std::perror("error do_spline: pclose");
    std::exit(1);
  }
  if (write_failed) {
    std::fprintf(stderr, "error do_spline: writing points to spline failed\n");
    std::exit(1);
  }
  if (WIFSIGNALED(status)) {
    std::fprintf(stderr, "error do_spline: spline killed by signal %d\n",
                 WTERMSIG(status));
    std::exit(1);
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == 127) {
    std::fprintf(stderr,
                 "error do_spline: could not run \"%s\" (status 127; "
                 "is GNU plotutils installed and on the PATH?)\n",
                 spline_cmd);
    std::exit(1);
  }
  if (code != 0) {
    std::fprintf(stderr, "error do_spline: \"%s\" exited with status %d\n",
                 spline_cmd, code);
    std::exit(1);
  }
}
