// Writes generated audio as s16le stereo PCM at 44.1 kHz on standard output,
// for the example recording and the evaluation's recordings alike.
#ifndef BANDSWAY_WRITE_PCM_HPP
#define BANDSWAY_WRITE_PCM_HPP

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

// Writes `frames` frames, frame f's left and right samples (from -1 to 1,
// clipped beyond) given by frame(f, &left, &right), then closes standard
// output; returns 0, or 1 after naming `prog` and the failed write.
template <typename frame_fn>
int write_pcm(long frames, frame_fn frame, const char *prog) {
  constexpr long rate = 44100;
  std::vector<unsigned char> buf;
  buf.reserve(std::size_t{4} * rate);
  for (long f = 0; f < frames; f++) {
    double left = 0;
    double right = 0;
    frame(f, &left, &right);
    for (double v : {left, right}) {
      const auto q = static_cast<std::int16_t>(
          std::lround(std::fmax(-1.0, std::fmin(1.0, v)) * 32767.0));
      const auto u = static_cast<std::uint16_t>(q);
      buf.push_back(static_cast<unsigned char>(u & 0xff));
      buf.push_back(static_cast<unsigned char>(u >> 8));
    }
    if (buf.size() >= std::size_t{4} * rate || f + 1 == frames) {
      if (std::fwrite(buf.data(), 1, buf.size(), stdout) != buf.size()) {
        std::fprintf(stderr, "%s: write failed\n", prog);
        return 1;
      }
      buf.clear();
    }
  }
  if (std::fclose(stdout) != 0) {
    std::fprintf(stderr, "%s: closing standard output failed\n", prog);
    return 1;
  }
  return 0;
}

#endif
