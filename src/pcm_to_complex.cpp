#include <cstdint>

#include "defs.hpp"

void pcm_to_complex(const unsigned char *chunk, fftw_complex *in) {
  for (int k = 0; k < chunk_frames; k++) {
    const unsigned char *frame = chunk + k * frame_bytes;
    // Assembled byte by byte, so the result is little-endian on any host.
    const auto a = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(frame[0] | (frame[1] << 8)));
    const auto b = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(frame[2] | (frame[3] << 8)));
    // Summed, not averaged: the levels keep the scale they always had.
    in[k][0] = static_cast<double>(b) + static_cast<double>(a);
    in[k][1] = 0.0;
  }
}
