#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "defs.hpp"

void check_std_fds() {
  // Typed alone at a prompt, bandsway would wait for audio nobody types.
  if (isatty(0) != 0) {
    std::fprintf(stderr,
                 "bandsway: standard input is a terminal; pipe raw PCM audio "
                 "in from a decoder, e.g.\n"
                 "  sox -D FILE -t raw -e signed-integer -b 16 -c 2 -r 44100 "
                 "-L - | bandsway\n"
                 "(bandsway --help says more)\n");
    std::exit(usage_status);
  }
  // Say so now, not after reading the whole input.
  const int out_flags = fcntl(1, F_GETFL);
  if (out_flags == -1 || (out_flags & O_ACCMODE) == O_RDONLY) {
    std::fprintf(stderr, "bandsway: standard output is not open for "
                         "writing\n");
    std::exit(1);
  }
}
