// Runs a command with standard input from a file and standard output to
// /dev/null, and prints "cpu_s wall_s max_rss_kib" for it: CPU time is user
// plus system, its own and that of the children it waited for.
//
// usage: runstat INPUT COMMAND [ARG...]
#include <chrono>
#include <cstdio>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: runstat INPUT COMMAND [ARG...]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("runstat: fork");
    return 1;
  }
  if (pid == 0) {
    const int in = open(argv[1], O_RDONLY);
    const int out = open("/dev/null", O_WRONLY);
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0) {
      std::perror("runstat: redirect");
      _exit(126);
    }
    execvp(argv[2], argv + 2);
    std::perror("runstat: exec");
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) < 0) {
    std::perror("runstat: wait4");
    return 1;
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  // The command's own children (spline) are not in ru; RUSAGE_CHILDREN of
  // this process, which has only this one child, has them all.
  rusage all{};
  getrusage(RUSAGE_CHILDREN, &all);
  auto secs = [](const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  const double cpu = secs(all.ru_utime) + secs(all.ru_stime);
  std::printf("%.6f %.6f %ld\n", cpu, wall, ru.ru_maxrss);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "runstat: %s failed (status %d)\n", argv[2], status);
    return 1;
  }
  return 0;
}
