// A fast 64-bit checksum of bytes, to tell a file that was cut, zeroed or
// damaged from the one written; not proof against a deliberate forgery.
// Four lanes of 8 bytes each take the input 32 bytes at a time, so that a
// large file is checked at the speed of memory.
#include <algorithm>
#include <cstring>

#include "companion.hpp"

namespace {

constexpr std::uint64_t mul_a = 0x9e3779b185ebca87ULL;
constexpr std::uint64_t mul_b = 0xc2b2ae3d27d4eb4fULL;
constexpr std::uint64_t mul_c = 0x165667b19e3779f9ULL;

std::uint64_t rotate(std::uint64_t x, int by) {
  return (x << by) | (x >> (64 - by));
}

std::uint64_t lane_step(std::uint64_t lane, std::uint64_t word) {
  return rotate(lane + word * mul_b, 31) * mul_a;
}

// A word of 8 bytes in this machine's byte order: the checksum guards
// files read on the machine that wrote them.
std::uint64_t word_at(const unsigned char *p) {
  std::uint64_t w = 0;
  std::memcpy(&w, p, sizeof w);
  return w;
}

void add_stripe(checksum_state *s, const unsigned char *p) {
  for (int i = 0; i < 4; i++)
    s->lane[i] = lane_step(s->lane[i], word_at(p + 8 * i));
}

// Spreads every bit of x over the whole word.
std::uint64_t avalanche(std::uint64_t x) {
  x ^= x >> 33;
  x *= mul_b;
  x ^= x >> 29;
  x *= mul_c;
  x ^= x >> 32;
  return x;
}

} // namespace

void checksum_start(checksum_state *s, std::uint64_t seed) {
  s->lane[0] = seed + mul_a + mul_b;
  s->lane[1] = seed + mul_b;
  s->lane[2] = seed;
  s->lane[3] = seed - mul_a;
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
  std::uint64_t h = rotate(s->lane[0], 1) + rotate(s->lane[1], 7) +
                    rotate(s->lane[2], 12) + rotate(s->lane[3], 18);
  for (const std::uint64_t lane : s->lane)
    h = (h ^ lane_step(0, lane)) * mul_a + mul_c;
  h += s->length;
  // The bytes that did not fill a stripe, one at a time.
  for (std::size_t i = 0; i < s->held; i++)
    h = rotate(h ^ (s->hold[i] * mul_c), 11) * mul_a;
  return avalanche(h);
}

std::uint64_t checksum_of(const void *data, std::size_t size,
                          std::uint64_t seed) {
  checksum_state s;
  checksum_start(&s, seed);
  checksum_add(&s, data, size);
  return checksum_end(&s);
}
