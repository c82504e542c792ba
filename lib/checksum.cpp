// A fast 64-bit checksum of bytes, to tell a file that was cut, zeroed or
// damaged from the one written; not proof against a deliberate forgery.
// Four lanes of Fletcher's two sums over 8-byte words: additions only, so
// that it keeps up with reading a file from the page cache, and each sum
// of sums weighs a word by its place, so that words moved or swapped show.
// The sums and the length are mixed into the result at the end.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <numeric>

#include "companion.hpp"

namespace {

constexpr std::uint64_t mul_a = 0x9e3779b185ebca87ULL;
constexpr std::uint64_t mul_b = 0xc2b2ae3d27d4eb4fULL;

// A word of 8 bytes in this machine's byte order: the checksum guards
// files read on the machine that wrote them.
std::uint64_t word_at(const unsigned char *p) {
  std::uint64_t w = 0;
  std::memcpy(&w, p, sizeof w);
  return w;
}

void add_stripe(checksum_state *s, const unsigned char *p) {
  for (std::size_t i = 0; i < 4; i++) {
    s->lane[i] += word_at(p + 8 * i);
    s->lane[4 + i] += s->lane[i];
  }
}

// Spreads every bit of x over the whole word.
std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 31;
  x *= mul_a;
  x ^= x >> 29;
  x *= mul_b;
  x ^= x >> 32;
  return x;
}

} // namespace

void checksum_start(checksum_state *s, std::uint64_t seed) {
  // Lanes that do not start at 0, so that zeros change the sums of sums.
  for (int i = 0; i < 8; i++)
    s->lane[i] = mix(seed + static_cast<std::uint64_t>(i) + 1);
  s->length = 0;
  s->held = 0;
}

void checksum_add(checksum_state *s, const void *data, std::size_t size) {
  if (size == 0)
    return;
  const auto *p = static_cast<const unsigned char *>(data);
  s->length += size;
  if (s->held > 0) {
    const std::size_t n = std::min(size, sizeof s->hold - s->held);
    std::memcpy(s->hold + s->held, p, n);
    s->held += n;
    p += n;
    size -= n;
    if (s->held < sizeof s->hold)
      return;
    add_stripe(s, s->hold);
    s->held = 0;
  }
  for (; size >= sizeof s->hold; p += sizeof s->hold, size -= sizeof s->hold)
    add_stripe(s, p);
  std::memcpy(s->hold, p, size);
  s->held = size;
}

std::uint64_t checksum_end(const checksum_state *s) {
  std::uint64_t h =
      std::accumulate(std::begin(s->lane), std::end(s->lane), mix(s->length),
                      [](std::uint64_t sum, std::uint64_t lane) {
                        return mix(sum ^ lane) * mul_b;
                      });
  // The bytes that did not fill a stripe, one at a time.
  for (std::size_t i = 0; i < s->held; i++)
    h = mix(h ^ (s->hold[i] + 0x100 * i));
  return mix(h);
}

std::uint64_t checksum_of(const void *data, std::size_t size,
                          std::uint64_t seed) {
  checksum_state s;
  checksum_start(&s, seed);
  checksum_add(&s, data, size);
  return checksum_end(&s);
}
