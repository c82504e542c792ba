#include <cstdio>
#include <cstdlib>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "defs.hpp"

void do_spline(const fftw_complex *spectrum, int n, const char *curve_name) {
  // While we feed spline and write its curve out, a reader that is gone
  // (SIGPIPE) or a file size limit (SIGXFSZ) must show as a failed write,
  // not kill us before we can say why. A handler, unlike SIG_IGN, is reset
  // by exec, so spline itself keeps the default actions: one that prints
  // without end is stopped by SIGPIPE when we close our end of its output.
  struct sigaction quiet {};
  struct sigaction old_pipe {};
  struct sigaction old_fsize {};
  quiet.sa_handler = [](int) {};
  sigemptyset(&quiet.sa_mask);
  sigaction(SIGPIPE, &quiet, &old_pipe);
  sigaction(SIGXFSZ, &quiet, &old_fsize);

  int curve_fd = -1;
  FILE *spline = start_spline(&curve_fd);
  ALWAYS_ASSERT(spline != NULL);
  char curve[max_curve_bytes];
  std::size_t curve_len = 0;
  bool too_long = false;
  const bool all_taken =
      feed_spline(spline, curve_fd, spectrum, n, curve, &curve_len, &too_long);
  // We were the only reader: from here on every write of spline fails
  // (SIGPIPE, or EPIPE where it ignores that), which ends one that was
  // printing without end, and pclose returns. Only a command that ignores
  // both would still hold us: popen gives no process id to kill it by.
  close(curve_fd);

  // A lost point or a command that did not run must not pass for a curve.
  const int status = pclose(spline);
  if (status == -1) {
    std::perror("error do_spline: pclose");
    std::exit(1);
  }
  // A curve cut off for its length: how spline ended says only how it took
  // that, so the curve's length is the fault to report.
  if (too_long)
    check_curve(curve, curve_len, curve_name);
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
  if (!all_taken) {
    std::fprintf(stderr, "error do_spline: \"%s\" did not read all %d points\n",
                 spline_cmd, n / 2);
    std::exit(1);
  }
  check_curve(curve, curve_len, curve_name);
  write_stdout(curve, curve_len);

  sigaction(SIGPIPE, &old_pipe, nullptr);
  sigaction(SIGXFSZ, &old_fsize, nullptr);
}
