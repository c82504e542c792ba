#include <cstddef>
#include <cstdint>
#include <cstring>

#include "defs.hpp"

void pcm_to_complex(const unsigned char *chunk, fftw_complex *in) {
  for (int k = 0; k < chunk_frames; k++) {
    // One frame as a 32-bit little-endian word: the first channel in the
    // low half, the second in the high half. Taking the word whole lets
    // the compiler handle several frames per instruction.
    std::uint32_t word = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(&word, chunk + static_cast<std::ptrdiff_t>(k) * frame_bytes,
                sizeof word);
#else
    const unsigned char *f =
        chunk + static_cast<std::ptrdiff_t>(k) * frame_bytes;
    word = f[0] | (f[1] << 8) | (std::uint32_t{f[2]} << 16) |
           (std::uint32_t{f[3]} << 24);
#endif
    const std::int32_t a = static_cast<std::int32_t>(word << 16) >> 16;
    const std::int32_t b = static_cast<std::int32_t>(word) >> 16;
    // Summed, not averaged: the levels keep the scale they always had. The
    // sum of two 16-bit samples is exact in an int, and so in a double.
    in[k][0] = static_cast<double>(b + a);
    in[k][1] = 0.0;
  }
}
