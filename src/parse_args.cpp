#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "defs.hpp"

namespace {

// Exits 0 once what went to standard output has reached it, 1 when it
// could not (a full disk, /dev/full, a pipe nobody reads: SIGPIPE is
// ignored before anything is written, as for the curves).
[[noreturn]] void exit_after_stdout() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::perror("bandsway: cannot write to standard output");
    std::exit(1);
  }
  std::exit(0);
}

bool is_option(const char *arg) {
  return std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0 ||
         std::strcmp(arg, "--version") == 0;
}

} // namespace

void parse_args(int argc, char **argv) {
  if (argc <= 1)
    return;
  const char *arg = argv[1];
  std::signal(SIGPIPE, SIG_IGN);
  if (argc == 2 &&
      (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0)) {
    print_usage(stdout);
    exit_after_stdout();
  }
  if (argc == 2 && std::strcmp(arg, "--version") == 0) {
    std::printf("bandsway %s\n", BANDSWAY_VERSION);
    exit_after_stdout();
  }
  // A file name would be ignored while we wait on standard input: refuse
  // it, and every option we do not know, before reading anything.
  const char *bad = nullptr;
  for (int i = 1; i < argc && bad == nullptr; i++)
    if (!is_option(argv[i]))
      bad = argv[i];
  if (bad == nullptr)
    std::fprintf(stderr, "bandsway: %s takes no other argument\n", arg);
  else if (bad[0] == '-' && bad[1] != '\0')
    std::fprintf(stderr, "bandsway: unknown option %s\n", bad);
  else
    std::fprintf(stderr,
                 "bandsway: unexpected argument \"%s\": bandsway reads only "
                 "standard input\n",
                 bad);
  print_usage(stderr);
  std::exit(usage_status);
}
