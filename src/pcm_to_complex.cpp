#include <cstddef>
#include <cstdint>

#include "defs.hpp"

void pcm_to_complex(const unsigned char *chunk, fftw_complex *in) {
  for (int k = 0; k < chunk_frames; k++) {
    // One frame as a 32-bit word, the first channel in the low half and the
    // second in the high half, assembled from its bytes so that the byte
    // order of this processor does not matter. The compiler turns the
    // assembly into one load, and the two shifts that sign-extend the
    // halves work on several frames per instruction; taking each sample
    // from its own two bytes instead made this step half as slow again.
    const unsigned char *f =
        chunk + static_cast<std::ptrdiff_t>(k) * frame_bytes;
    const std::uint32_t word = f[0] | (f[1] << 8) |
                               (std::uint32_t{f[2]} << 16) |
                               (std::uint32_t{f[3]} << 24);
    const std::int32_t a = static_cast<std::int32_t>(word << 16) >> 16;
    const std::int32_t b = static_cast<std::int32_t>(word) >> 16;
    // Summed, not averaged: the levels keep the scale they always had. The
    // sum of two 16-bit samples is exact in an int, and so in a double.
    in[k][0] = static_cast<double>(b + a);
    in[k][1] = 0.0;
  }
}
