#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <signal.h>
#include <sys/wait.h>

#include "defs.hpp"

void do_spline(const fftw_complex *spectrum, int n) {
  // While feeding the pipe, a command that is gone must show as a failed
  // write, not kill us before we can say why. A handler, unlike SIG_IGN, is
  // reset by exec, so spline itself still dies of SIGPIPE when the reader
  // of standard output goes away.
  struct sigaction on_pipe {};
  struct sigaction old_pipe {};
  on_pipe.sa_handler = [](int) {};
  sigemptyset(&on_pipe.sa_mask);
  sigaction(SIGPIPE, &on_pipe, &old_pipe);

  const long long before = mark_stdout();
  // A fixed command line, no user input: the shell only finds spline.
  FILE *spline = popen(spline_cmd, "w"); // NOLINT(cert-env33-c)
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
  const bool write_failed =
      std::fflush(spline) != 0 || std::ferror(spline) != 0;
  const int status = pclose(spline);
  sigaction(SIGPIPE, &old_pipe, nullptr);
  if (status == -1) {
    std::perror("error do_spline: pclose");
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
  // The shell reports a command killed by signal N as status 128 + N.
  if (WIFSIGNALED(status) || code > 128) {
    std::fprintf(stderr, "error do_spline: \"%s\" killed by signal %d\n",
                 spline_cmd,
                 WIFSIGNALED(status) ? WTERMSIG(status) : code - 128);
    std::exit(1);
  }
  if (code != 0) {
    std::fprintf(stderr, "error do_spline: \"%s\" exited with status %d\n",
                 spline_cmd, code);
    std::exit(1);
  }
  if (write_failed) {
    std::fprintf(stderr, "error do_spline: \"%s\" did not read all %d points\n",
                 spline_cmd, n / 2);
    std::exit(1);
  }
  check_stdout_grew(before, n / 2);
}
