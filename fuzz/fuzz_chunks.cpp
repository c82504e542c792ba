// Fuzzes the chunk analysis with arbitrary bytes delivered on file
// descriptor 0 the way a pipe delivers them: in pieces of arbitrary sizes,
// drawn from the first byte of the input. Every run must count exactly the
// full chunks (at most max_chunks), store finite values within their
// ranges, and write nothing past the last chunk's entry.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include <unistd.h>

#include "defs.hpp"

namespace {

constexpr double untouched = -12345.0;

void feed(int fd, const std::uint8_t *data, std::size_t size,
          std::uint32_t seed) {
  std::size_t pos = 0;
  while (pos < size) {
    seed = seed * 1664525u + 1013904223u;
    const std::size_t piece =
        std::min<std::size_t>(1 + (seed >> 16) % 9000, size - pos);
    const ssize_t w = write(fd, data + pos, piece);
    if (w <= 0)
      break;
    pos += static_cast<std::size_t>(w);
  }
  close(fd);
}

void check(bool ok) {
  if (!ok)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  if (size == 0)
    return 0;
  const std::uint32_t seed = data[0];
  ++data;
  --size;

  // Plain arrays: fftw_complex is itself an array, which libc++'s
  // std::vector cannot hold.
  static fftw_complex sum[max_chunks + 1], tilt[max_chunks + 1],
      alt[max_chunks + 1];
  const std::size_t full = size / chunk_bytes;
  const std::size_t expect = std::min<std::size_t>(full, max_chunks);
  for (auto *s : {sum, tilt, alt})
    for (std::size_t i = 0; i <= expect; i++)
      s[i][0] = s[i][1] = untouched;

  int p[2];
  check(pipe(p) == 0);
  std::thread writer(feed, p[1], data, size, seed);
  const int saved = dup(0);
  check(saved >= 0 && dup2(p[0], 0) == 0);
  close(p[0]);
  const int n = calc_chunk_metrics(sum, tilt, alt);
  writer.join();
  check(dup2(saved, 0) == 0);
  close(saved);

  check(n >= 0 && static_cast<std::size_t>(n) == expect);
  for (std::size_t i = 0; i < expect; i++) {
    check(std::isfinite(sum[i][0]) && sum[i][0] >= 0.001 && sum[i][1] == 0.0);
    check(tilt[i][0] >= 0.0 && tilt[i][0] <= 20.0 && tilt[i][1] == 0.0);
    check(alt[i][0] >= 0.0 && alt[i][0] <= 20.0 && alt[i][1] == 0.0);
  }
  for (const auto *s : {sum, tilt, alt})
    check(s[expect][0] == untouched && s[expect][1] == untouched);
  return 0;
}
