// Writes a synthetic recording with a known pulse rate as s16le stereo PCM
// at 44.1 kHz on standard output, for the evaluation of bandsway-near
// (bench/near-eval). Five unrelated sounds each swing once per period of
// the rate: drums, a tremolo chord, plucked notes, noise bursts, and bass
// and treble trading places. The seed picks the notes, the timbre and the
// small irregularities; the same arguments give the same bytes.
//
// usage: near_gen SOUND RATE_HZ SECONDS LEVEL_DB SEED
//   SOUND: drums | tremolo | pluck | bursts | trade
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "write_pcm.hpp"

namespace {

constexpr int rate = 44100;
constexpr double pi = 3.14159265358979323846;

struct generator {
  std::uint32_t state = 1;
  double rate_hz = 1;
  int sound = 0;
  // Per-recording choices, from the seed.
  double pitch[4] = {};
  double bright = 0;
  double swing = 0;
  // Per-period choices, renewed at each period.
  long period = -1;
  double note = 0;
  double accent = 1;
  double lp = 0; // a one-pole low-pass over the noise
};

// A number in [0, 1), the same on every host.
double uniform(generator *g) {
  g->state = g->state * 1664525u + 1013904223u;
  return static_cast<double>(g->state >> 8) / 16777216.0;
}

double noise(generator *g) { return 2 * uniform(g) - 1; }

void start(generator *g, int sound, double rate_hz, unsigned seed) {
  g->sound = sound;
  g->rate_hz = rate_hz;
  g->state = seed * 2654435761u + 12345u;
  static const double scale[] = {110.0,  123.47, 130.81, 146.83,
                                 164.81, 174.61, 196.0,  220.0};
  std::generate(std::begin(g->pitch), std::end(g->pitch), [&] {
    return scale[static_cast<int>(uniform(g) * 8)] *
           (uniform(g) < 0.5 ? 1.0 : 2.0);
  });
  g->bright = uniform(g);
  g->swing = 0.02 * uniform(g);
}

// A sawtooth-like tone of a few harmonics.
double tone(double f, double t, int harmonics) {
  double s = 0;
  for (int h = 1; h <= harmonics; h++)
    s += std::sin(2 * pi * f * h * t) / h;
  return s;
}

double sample_at(generator *g, long frame) {
  const double t = static_cast<double>(frame) / rate;
  const double periods = t * g->rate_hz;
  const long period = static_cast<long>(periods);
  // Where in its period the sample lies, in seconds, with a little swing
  // from period to period, as a player would.
  const double at = (periods - period) / g->rate_hz;
  if (period != g->period) {
    g->period = period;
    g->note = g->pitch[static_cast<int>(uniform(g) * 4)];
    g->accent = 0.8 + 0.4 * uniform(g);
  }
  switch (g->sound) {
  case 0: { // drums: a kick at each period's start, a hi-hat halfway
    const double kick_f = 45 + 70 * std::exp(-at * 25);
    const double kick = std::sin(2 * pi * kick_f * at) * std::exp(-at * 7);
    const double half = 0.5 / g->rate_hz + g->swing;
    const double hat_at = at - half;
    double hat = 0;
    if (hat_at >= 0) {
      const double n = noise(g);
      hat = (n - g->lp) * std::exp(-hat_at * 30);
      g->lp = n;
    }
    return g->accent * (0.8 * kick + (0.15 + 0.2 * g->bright) * hat);
  }
  case 1: { // a tremolo chord over a steady drone
    const double depth = 0.75 + 0.2 * g->bright;
    const double amp = 1 - depth * (0.5 - 0.5 * std::cos(2 * pi * periods));
    double chord = 0;
    for (int i = 1; i < 4; i++)
      chord += tone(g->pitch[i] * 2, t, 6);
    const double drone = std::sin(2 * pi * g->pitch[0] / 2 * t);
    return 0.18 * amp * chord + 0.15 * drone;
  }
  case 2: { // a plucked note at each period's start, its pitch changing
    const double decay = 3 + 4 * g->bright;
    return 0.5 * g->accent * tone(g->note, at, 8) *
           std::exp(-at * decay * g->rate_hz);
  }
  case 3: { // noise bursts, on for a part of each period
    const double on = 0.3 + 0.2 * g->bright;
    const double x = at * g->rate_hz;
    const double edge = 0.02;
    double gate = 0;
    if (x < on)
      gate = std::fmin(1.0, std::fmin(x / edge, (on - x) / edge));
    const double n = noise(g);
    g->lp += (0.2 + 0.6 * g->bright) * (n - g->lp);
    return 0.6 * g->accent * gate * g->lp;
  }
  default: { // bass for half of each period, treble for the other half
    // A square wave with soft edges: 1 for bass, 0 for treble.
    const double fade = 0.5 + 0.5 * std::tanh(4 * std::sin(2 * pi * periods));
    const double bass = std::sin(2 * pi * g->pitch[0] / 2 * t);
    const double treble = tone(2000 + 1500 * g->bright, t, 2);
    return 0.45 * (fade * bass + (1 - fade) * 0.5 * treble);
  }
  }
}

int sound_of(const char *name) {
  static const char *const names[] = {"drums", "tremolo", "pluck", "bursts",
                                      "trade"};
  for (int i = 0; i < 5; i++)
    if (std::strcmp(name, names[i]) == 0)
      return i;
  return -1;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 6 || sound_of(argv[1]) < 0) {
    std::fprintf(stderr, "usage: near_gen drums|tremolo|pluck|bursts|trade "
                         "RATE_HZ SECONDS LEVEL_DB SEED\n");
    return 2;
  }
  const double rate_hz = std::atof(argv[2]);
  const double seconds = std::atof(argv[3]);
  const double gain = std::pow(10.0, std::atof(argv[4]) / 20);
  if (!(rate_hz > 0) || !(seconds > 0)) {
    std::fprintf(stderr, "near_gen: RATE_HZ and SECONDS must be positive\n");
    return 2;
  }
  generator g;
  start(&g, sound_of(argv[1]), rate_hz,
        static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)));
  return write_pcm(
      std::lround(seconds * rate),
      [&g, gain](long f, double *left, double *right) {
        const double s = gain * sample_at(&g, f);
        const double side = 0.02 * noise(&g) * gain;
        *left = s + side;
        *right = s - side;
      },
      "near_gen");
}
