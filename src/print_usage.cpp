#include "defs.hpp"

void print_usage(std::FILE *to) {
  std::fputs(
      "usage: bandsway < PCM > CURVES\n"
      "       bandsway -h | --help | --version\n"
      "Reads raw audio on standard input (signed 16-bit little-endian "
      "samples,\n"
      "two interleaved channels, 44100 frames per second, no header) and "
      "prints\n"
      "three curves of 256 values, one per line: how the loudness (sum) and "
      "the\n"
      "balance of the bands (tilt, alt) fluctuate, at rates of 0 to 2 Hz.\n"
      "Decode a file into it with sox or ffmpeg:\n"
      "  sox -D FILE -t raw -e signed-integer -b 16 -c 2 -r 44100 -L - | "
      "bandsway\n"
      "  ffmpeg -loglevel error -i FILE -f s16le -ac 2 -ar 44100 - | "
      "bandsway\n"
      "Options:\n"
      "  -h, --help  print this summary and exit\n"
      "  --version   print the version and exit\n",
      to);
}
