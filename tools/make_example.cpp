// Writes a deterministic synthetic recording as s16le stereo PCM at
// 44.1 kHz on standard output: at 120 beats per minute, a kick drum on beats
// one and three, a snare on two and four and a bass line that changes every
// bar. The loudness and the balance of low to high therefore swing once a
// second, which the sum and tilt curves show as a peak at 1 Hz. Same bytes
// on every run and every host.
//
// usage: make_example [seconds]   (default 30)
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "write_pcm.hpp"

namespace {

constexpr int rate = 44100;
constexpr double pi = 3.14159265358979323846;
constexpr double beat_s = 0.5; // 120 beats per minute
constexpr double bar_s = 4 * beat_s;

std::uint32_t lcg_state = 12345;

double noise() {
  lcg_state = lcg_state * 1664525u + 1013904223u;
  return static_cast<double>(lcg_state >> 8) / 8388608.0 - 1.0;
}

double sample_at(long frame) {
  const double t = static_cast<double>(frame) / rate;
  const double bar_pos = std::fmod(t, bar_s);
  const long bar = static_cast<long>(t / bar_s);

  // Kick on beats one and three: a falling 110 -> 50 Hz sweep.
  const double kick_pos = std::fmod(t, 2 * beat_s);
  const double kick_f = 50.0 + 60.0 * std::exp(-kick_pos * 30.0);
  const double kick =
      std::sin(2 * pi * kick_f * kick_pos) * std::exp(-kick_pos * 8.0);

  // Snare on beats two and four: a noise burst, bright against the kick.
  const double snare_pos = std::fmod(t + beat_s, 2 * beat_s);
  const double snare = noise() * std::exp(-snare_pos * 14.0);

  // Bass: a root that steps through four notes, one per bar, so the level
  // also moves slowly.
  static const double roots[] = {55.0, 73.42, 61.74, 82.41};
  const double root = roots[bar % 4];
  const double swell = 0.6 + 0.4 * std::sin(pi * bar_pos / bar_s);
  const double bass = swell * (0.5 * std::sin(2 * pi * root * t) +
                               0.1 * std::sin(2 * pi * 6 * root * t));

  return 0.6 * kick + 0.3 * snare + 0.25 * bass;
}

} // namespace

int main(int argc, char **argv) {
  double seconds = 30.0;
  char *end = nullptr;
  if (argc == 2)
    seconds = std::strtod(argv[1], &end);
  if (argc > 2 || (argc == 2 && (*end != '\0' || !(seconds > 0.0)))) {
    std::fprintf(stderr, "usage: make_example [seconds]\n");
    return 2;
  }
  // A slight stereo spread so the two channels differ.
  return write_pcm(
      std::lround(seconds * rate),
      [](long f, double *left, double *right) {
        const double s = sample_at(f);
        *left = s * 0.9 + 0.05 * noise();
        *right = s * 0.8;
      },
      "make_example");
}
